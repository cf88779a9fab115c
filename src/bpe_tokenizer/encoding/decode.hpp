#pragma once

#include <span>
#include <string>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"

namespace wrenmark {

// Rebuilds text from token ids: every token that ends a word or is special is followed by a
// space, and every "</w>" of the joined text is then removed. Ids without a token are skipped.
Result<std::string> decode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::span<const TokenId> ids);

// The same with tables already derived.
std::string decode(const EncodingTables& tables, std::span<const TokenId> ids);

}  // namespace wrenmark
