#pragma once

#include <string_view>

#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

// Why `word` (valid UTF-8) cannot be one word of the pre-tokenization `mode`: "is empty", "holds a
// separator of the ... pre-tokenization"; an empty view when it can. A word count given from
// outside is taken as what counting a corpus would have found, so it must be one whole word of
// the split that counting does.
std::string_view given_word_refusal(std::string_view word, PreTokenization mode);

}  // namespace wrenmark
