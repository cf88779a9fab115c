#pragma once

#include <cstdint>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Trains an untrained tokenizer on its corpus file: reads it block by block, removes the special
// tokens, counts the words, builds the alphabet and the word table, learns merges up to the
// target vocabulary size, gives the tokenizer the model it learnt, then writes the model
// directory when the settings ask for it. Prints one timing line per phase on standard output.
//
// A tokenizer that is already trained, or any failure before the model is complete, yields an
// error and leaves the tokenizer as it was; a failed save leaves it trained.
Status train(BpeTokenizer& tokenizer);

// The same, looking for a stop through `cancellation` in every phase and loop (a Cancelled error,
// the tokenizer left untrained and trainable), and drawing the progress on standard error when
// the settings ask for it.
Status train(BpeTokenizer& tokenizer, Cancellation& cancellation);

// The part of train() after counting: from the distinct words of a corpus with their counts and
// first occurrences, as counted block by block (here or elsewhere). The timing lines show
// `removal_ns` for the removal of special tokens and `counting_ns` plus the building of the word
// table for the vocabulary builder. On failure before the model is complete, the tokenizer is
// left as it was.
Status train_from_word_counts(BpeTokenizer& tokenizer, WordCountTable&& counts, std::uint64_t removal_ns,
                              std::uint64_t counting_ns, TrainingMonitor* monitor = nullptr);

// The merging part of training: counts the initial pairs of `words`, merges in the settings'
// merge mode and within their limits until `model` reaches the target size, then derives the
// model's lookup tables. The model may hold merge rules already; new ones follow them.
Status merge_to_target(const TokenizerSettings& settings, Model& model, WordTable& words, TrainingMonitor& monitor);

}  // namespace wrenmark
