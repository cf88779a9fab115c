#pragma once

#include <cstddef>
#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/merging/pair_table.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Printed, without a line end, when the loop stops because no pair is left to merge.
inline constexpr std::string_view kOutOfPairsMessage = "targeted vocab size not reached as no more pairs to merge ";

// Words scanned between two stop checks of the initial pair statistics.
inline constexpr std::size_t kWordsPerCheck = 1 << 16;

// Counts every adjacent pair weighted by word frequency, lists where each occurs and seeds the
// candidate heap. The monitor may stop this early; the caller then drops the results.
Status count_initial_pairs(const WordTable& words, PairTable& pairs, TrainingMonitor& monitor);

// Merges the best pair again and again until the vocabulary reaches the target size or no
// candidate is left, appending to the model's merge rules and vocabulary.
// Counts one unit of the monitor per merge; a stop yields a Cancelled error.
Status run_merge_loop(Model& model, std::uint64_t target_vocab_size, WordTable& words, PairTable& pairs,
                      TrainingMonitor& monitor);

}  // namespace wrenmark
