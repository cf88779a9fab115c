#pragma once

#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/pair_table.hpp"
#include "bpe_tokenizer/training/word_table.hpp"

namespace wrenmark {

// Printed, without a line end, when the loop stops because no pair is left to merge.
inline constexpr std::string_view kOutOfPairsMessage = "targeted vocab size not reached as no more pairs to merge ";

// Records, for every adjacent pair of every distinct word, where it occurs.
void record_initial_occurrences(const WordTable& words, PairTable& pairs);

// Counts every adjacent pair weighted by word frequency and seeds the candidate heap.
void count_initial_pairs(const WordTable& words, PairTable& pairs);

// Merges the best pair again and again until the vocabulary reaches the target size or no
// candidate is left, appending to the model's merge rules and vocabulary.
Status run_merge_loop(Model& model, std::uint64_t target_vocab_size, WordTable& words, PairTable& pairs);

}  // namespace wrenmark
