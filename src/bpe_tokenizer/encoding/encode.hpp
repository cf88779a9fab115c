#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_result.hpp"

namespace wrenmark {

// Turns `text` into tokens with a trained tokenizer: the text is cut around the special tokens,
// every plain piece is split into words as training split the corpus, every word is spelled as
// its characters and "</w>" and merged by the learnt merges, and every token is typed.
Result<Encoding> encode(const BpeTokenizer& tokenizer, std::string_view text);

}  // namespace wrenmark
