#pragma once

#include <span>
#include <string>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Rebuilds text from token ids: every token that ends a word or is special is followed by a
// space, and every "</w>" of the joined text is then removed. Ids without a token are skipped.
Result<std::string> decode(const BpeTokenizer& tokenizer, std::span<const TokenId> ids);

}  // namespace wrenmark
