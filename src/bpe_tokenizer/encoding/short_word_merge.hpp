#pragma once

#include <cstddef>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/encoding/pair_merge_index.hpp"

namespace wrenmark {

// The most symbols that merge_short_word takes.
inline constexpr std::size_t kShortWordMaxSymbols = 32;

// Merges a word of at most kShortWordMaxSymbols symbols by the rules of WordMerger, through the
// flat index: the packed merge of every adjacent pair sits in a small array beside the word's symbols,
// the lowest place is found by a scan of that array, and after a round only the pairs next to
// a merged symbol are looked up again.
void merge_short_word(std::vector<TokenId>& word, const PairMergeIndex& merges);

}  // namespace wrenmark
