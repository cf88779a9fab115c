#pragma once

#include <cstdint>
#include <string_view>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// The error for continuing from a tokenizer that has no model.
TokenizerError untrained_continuation_error();

// Goes on training from the model of `trained` on the corpus file at `corpus_path`, up to
// `target_vocab_size`: a new tokenizer with the settings of `trained` (its target size replaced)
// whose model begins with every token and merge rule of the old one, in order. The corpus words
// are spelled with the old merges as encoding applies them, characters the old model lacks get
// the next ids, then merging goes on in the settings' merge mode and limits. Prints the timing
// lines as train() does, draws the progress when the settings ask for it, and saves the new
// model when `save_model` is set, to its `output_dir`. `trained` is left as it was.
Result<BpeTokenizer> continue_training(const BpeTokenizer& trained, std::string_view corpus_path,
                                       std::uint64_t target_vocab_size, Cancellation& cancellation);

// The same from the counts of a corpus already counted (a stream of items counted as they came,
// say), reporting to the caller's monitor, which the caller finishes.
Result<BpeTokenizer> continue_from_counts(const BpeTokenizer& trained, std::uint64_t target_vocab_size,
                                          CorpusCounts&& counts, TrainingMonitor& monitor);

}  // namespace wrenmark
