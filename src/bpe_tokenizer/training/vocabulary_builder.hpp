#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/core/token_table.hpp"
#include "bpe_tokenizer/training/word_table.hpp"

namespace wrenmark {

// Splits `text` into words, gives every character a token id in order of first occurrence, adds
// "</w>", and returns the distinct words with their counts as symbol sequences (characters then
// "</w>"), in order of first occurrence.
Result<WordTable> build_vocabulary(std::string_view text, PreTokenization mode, TokenTable& token_table);

}  // namespace wrenmark
