#include "bpe_tokenizer/training/train.hpp"

#include <string>

#include "bpe_tokenizer/core/byte_tokens.hpp"
#include "bpe_tokenizer/io/training_report.hpp"
#include "bpe_tokenizer/persistence/model_writer.hpp"
#include "bpe_tokenizer/system/huge_page_recycling.hpp"
#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/merging/classic_merge_loop.hpp"
#include "bpe_tokenizer/training/merging/merge_driver.hpp"
#include "bpe_tokenizer/training/merging/merge_loop.hpp"
#include "bpe_tokenizer/training/words/vocabulary_builder.hpp"

namespace wrenmark {

namespace {

// Counts the initial pairs, then merges up to the target size with one of the two loops.
template <MergeLoop Loop>
Status merge_words(const TokenizerSettings& settings, Model& model, WordTable& words, TrainingMonitor& monitor) {
  MergeDriver<Loop> driver(words,
                           MergeLimits{settings.min_frequency, settings.max_token_length, settings.byte_fallback});
  {
    Stopwatch timer;
    if (Status counted = driver.count_initial_pairs(monitor); !counted) return counted;
    if (monitor.stopped()) return TokenizerError::cancelled();
    training_report::print_timing("build initial pair", timer.elapsed_ns());
  }
  const std::uint64_t size = model.token_table.size();
  const std::uint64_t target = settings.target_vocab_size;
  if (monitor.begin_phase(TrainingPhase::Merging, target > size ? target - size : 0)) {
    return TokenizerError::cancelled();
  }
  return driver.run(model, target, monitor);
}

// Everything after counting, into a model of its own: the tokenizer changes only once the model
// is complete.
Status learn_merges(const TokenizerSettings& settings, Model& model, WordCountTable&& counts, std::uint64_t removal_ns,
                    std::uint64_t counting_ns, TrainingMonitor& monitor) {
  if (!settings.special_tokens.empty()) {
    for (const std::string& token : settings.special_tokens) {
      if (model.token_table.full()) return vocabulary_full_error();
      model.token_table.add_token(token);
    }
    training_report::print_timing("removing special tokens", removal_ns);
  }
  if (settings.byte_fallback) {
    if (auto fault = byte_fallback_fault(settings)) return TokenizerError::invalid_state(*fault);
    // Right after the special tokens, before the alphabet; no word holds them, so no merge does.
    for (std::size_t byte = 0; byte < kByteTokenCount; ++byte) {
      if (model.token_table.full()) return vocabulary_full_error();
      model.token_table.add_token(byte_token_text(static_cast<std::uint8_t>(byte)));
    }
  }

  if (monitor.begin_phase(TrainingPhase::CountingPairs, 0)) return TokenizerError::cancelled();
  Result<WordTable> words = [&] {
    Stopwatch timer;
    Result<WordTable> built = build_vocabulary(counts.in_order_of_first_occurrence(), model.token_table);
    // The words live on as symbol sequences; their text and the counting map go before the
    // occurrence lists, the largest part of training's memory, come into being.
    counts = WordCountTable();
    training_report::print_timing("vocab builder", counting_ns + timer.elapsed_ns());
    return built;
  }();
  if (!words) return words.error();
  if (monitor.stopped()) return TokenizerError::cancelled();

  return merge_to_target(settings, model, words.value(), monitor);
}

}  // namespace

Status merge_to_target(const TokenizerSettings& settings, Model& model, WordTable& words, TrainingMonitor& monitor) {
  Status merged = settings.merge_all_occurrences ? merge_words<ClassicMergeLoop>(settings, model, words, monitor)
                                                 : merge_words<DefaultMergeLoop>(settings, model, words, monitor);
  if (!merged) return merged;
  return model.derive_lookup_tables();
}

Status train_from_word_counts(BpeTokenizer& tokenizer, WordCountTable&& counts, std::uint64_t removal_ns,
                              std::uint64_t counting_ns, TrainingMonitor* monitor) {
  if (tokenizer.trained()) return TokenizerError::invalid_state("Cannot train a pretrained model");
  Model model;
  Cancellation never_stopped;
  TrainingMonitor quiet(never_stopped);
  Status learned =
      learn_merges(tokenizer.settings, model, std::move(counts), removal_ns, counting_ns, monitor ? *monitor : quiet);
  if (!learned) return learned;
  tokenizer.model = std::make_shared<const Model>(std::move(model));
  return save_model_if_requested(tokenizer);
}

Status train(BpeTokenizer& tokenizer, Cancellation& cancellation) {
  if (tokenizer.trained()) return TokenizerError::invalid_state("Cannot train a pretrained model");
  TrainingMonitor monitor(cancellation, tokenizer.settings.show_progress);
  const Status trained = [&]() -> Status {
    // The counting maps' memory, freed when counting ends, becomes the word table and the pairs'
    // arrays instead of fresh pages for the kernel to fault in and zero.
    const huge_pages::Recycling recycling;
    Result<BlockCounter> counter = BlockCounter::create(tokenizer.settings);
    if (!counter) return counter.error();
    Result<CorpusCounts> counts =
        count_corpus_words(tokenizer.settings.input_path, counter.value(), training_block_bytes(), &monitor);
    if (!counts) return counts.error();
    return train_from_word_counts(tokenizer, std::move(counts.value().table), counts.value().removal_ns,
                                  counts.value().counting_ns, &monitor);
  }();
  monitor.finish(trained.ok() || tokenizer.trained());
  return trained;
}

Status train(BpeTokenizer& tokenizer) {
  Cancellation never_stopped;
  return train(tokenizer, never_stopped);
}

}  // namespace wrenmark
