#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/core/token_table.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Gives every character of the distinct `words` (in order of first occurrence) a token id in
// order of first occurrence, adds "</w>", and returns the words with their counts as symbol
// sequences (characters then "</w>"), in the same order.
Result<WordTable> build_vocabulary(const CountedWords& words, TokenTable& token_table);

}  // namespace wrenmark
