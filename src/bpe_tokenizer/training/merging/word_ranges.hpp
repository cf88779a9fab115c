#pragma once

#include <cstddef>
#include <vector>

#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Consecutive words, and the places they cover, that one worker takes while the merge loops
// count their initial pairs.
struct WordRange {
  std::size_t first_word = 0;
  std::size_t end_word = 0;
  Place first_place = 0;
  Place end_place = 0;
};

// The words split into consecutive ranges of about equal places, in word order: at most a few
// more than the pool's threads (two on the machines training is tuned for), which evens out one
// that takes longer, since each range costs the loop's combining step its share of the pairs; and
// none smaller than a worker is worth.
std::vector<WordRange> split_into_word_ranges(const WordTable& words);

}  // namespace wrenmark
