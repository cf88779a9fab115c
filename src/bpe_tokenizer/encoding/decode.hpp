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
// With byte fallback on, each run of byte tokens becomes the text of its bytes, an invalid
// sequence replaced as Python's bytes.decode(errors="replace") does.
Result<std::string> decode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::span<const TokenId> ids);

// The same with tables already derived.
std::string decode(const EncodingTables& tables, std::span<const TokenId> ids, bool byte_fallback = false);

}  // namespace wrenmark
