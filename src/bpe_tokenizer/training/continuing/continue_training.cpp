#include "bpe_tokenizer/training/continuing/continue_training.hpp"

#include <memory>
#include <string>
#include <utility>

#include "bpe_tokenizer/io/training_report.hpp"
#include "bpe_tokenizer/persistence/model_writer.hpp"
#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/training/continuing/spelled_words.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/train.hpp"

namespace wrenmark {

namespace {

Result<BpeTokenizer> continue_from(const BpeTokenizer& trained, TokenizerSettings settings, CorpusCounts&& counts,
                                   TrainingMonitor& monitor) {
  if (!settings.special_tokens.empty()) training_report::print_timing("removing special tokens", counts.removal_ns);

  Model model;
  model.token_table = copy_token_table(trained.model->token_table);
  model.merge_rules = trained.model->merge_rules;
  if (monitor.begin_phase(TrainingPhase::CountingPairs, 0)) return TokenizerError::cancelled();
  Result<WordTable> words = [&] {
    Stopwatch timer;
    WordCountTable table = std::move(counts.table);
    Result<WordTable> spelled =
        spell_with_model(table.in_order_of_first_occurrence(), trained.model, settings, model.token_table);
    training_report::print_timing("vocab builder", counts.counting_ns + timer.elapsed_ns());
    return spelled;
  }();
  if (!words) return words.error();
  if (monitor.stopped()) return TokenizerError::cancelled();
  if (Status merged = merge_to_target(settings, model, words.value(), monitor); !merged) return merged.error();

  BpeTokenizer continued(std::move(settings), std::make_shared<const Model>(std::move(model)));
  if (Status saved = save_model_if_requested(continued); !saved) return saved.error();
  return continued;
}

}  // namespace

TokenizerError untrained_continuation_error() {
  return TokenizerError::invalid_state("Cannot continue training an untrained model");
}

Result<BpeTokenizer> continue_training(const BpeTokenizer& trained, std::string_view corpus_path,
                                       std::uint64_t target_vocab_size, Cancellation& cancellation) {
  if (!trained.trained()) return untrained_continuation_error();
  TrainingMonitor monitor(cancellation, trained.settings.show_progress);
  Result<BpeTokenizer> continued = [&]() -> Result<BpeTokenizer> {
    Result<BlockCounter> counter = BlockCounter::create(trained.settings);
    if (!counter) return counter.error();
    Result<CorpusCounts> counts = count_corpus_words(corpus_path, counter.value(), training_block_bytes(), &monitor);
    if (!counts) return counts.error();
    return continue_from_counts(trained, target_vocab_size, std::move(counts).value(), monitor);
  }();
  monitor.finish(continued.ok());
  return continued;
}

Result<BpeTokenizer> continue_from_counts(const BpeTokenizer& trained, std::uint64_t target_vocab_size,
                                          CorpusCounts&& counts, TrainingMonitor& monitor) {
  if (!trained.trained()) return untrained_continuation_error();
  TokenizerSettings settings = trained.settings;
  settings.target_vocab_size = target_vocab_size;
  return continue_from(trained, std::move(settings), std::move(counts), monitor);
}

}  // namespace wrenmark
