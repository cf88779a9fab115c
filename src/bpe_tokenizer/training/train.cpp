#include "bpe_tokenizer/training/train.hpp"

#include <chrono>
#include <string>

#include "bpe_tokenizer/io/console.hpp"
#include "bpe_tokenizer/persistence/model_writer.hpp"
#include "bpe_tokenizer/training/corpus_reader.hpp"
#include "bpe_tokenizer/training/duration_format.hpp"
#include "bpe_tokenizer/training/merge_loop.hpp"
#include "bpe_tokenizer/training/special_token_removal.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/vocabulary_builder.hpp"

namespace wrenmark {

namespace {

class PhaseTimer {
 public:
  PhaseTimer() : start_(std::chrono::steady_clock::now()) {}

  // Prints "{label} took time: {elapsed}" and a line end.
  void report(std::string_view label) const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    std::string line(label);
    line.append(" took time: ").append(format_duration(static_cast<std::uint64_t>(nanoseconds)));
    console::print_line(line);
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Runs the phases on `model`, a fresh record with the tokenizer's settings.
Status train_model(BpeTokenizer& model, TrainingMonitor& monitor) {
  const TokenizerSettings& settings = model.settings;
  Result<std::string> corpus = read_corpus(settings.input_path, monitor);
  if (!corpus) return corpus.error();
  std::string text = std::move(corpus).value();

  if (!settings.special_tokens.empty()) {
    for (const std::string& token : settings.special_tokens) model.token_table.add_token(token);
    if (monitor.begin_phase(TrainingPhase::RemovingSpecialTokens, settings.special_tokens.size())) {
      return TokenizerError::cancelled();
    }
    PhaseTimer timer;
    Result<std::string> cleaned = remove_special_tokens(std::move(text), settings.special_tokens,
                                                        settings.special_token_removal_method, monitor);
    if (!cleaned) return cleaned.error();
    text = std::move(cleaned).value();
    timer.report("removing special tokens");
  }

  if (monitor.begin_phase(TrainingPhase::CountingWords, text.size())) return TokenizerError::cancelled();
  PairTable pairs;
  Result<WordTable> words = [&] {
    PhaseTimer timer;
    Result<WordTable> built = build_vocabulary(text, settings.pre_tokenization, model.token_table, monitor);
    if (built) record_initial_occurrences(built.value(), pairs, monitor);
    if (monitor.stopped()) return Result<WordTable>(TokenizerError::cancelled());
    timer.report("vocab builder");
    return built;
  }();
  if (!words) return words.error();
  std::string().swap(text);

  if (monitor.begin_phase(TrainingPhase::CountingPairs, words.value().size())) return TokenizerError::cancelled();
  {
    PhaseTimer timer;
    count_initial_pairs(words.value(), pairs, monitor);
    if (monitor.stopped()) return TokenizerError::cancelled();
    timer.report("build initial pair");
  }
  const std::uint64_t target = settings.target_vocab_size;
  const std::uint64_t size = model.token_table.size();
  if (monitor.begin_phase(TrainingPhase::Merging, target > size ? target - size : 0)) {
    return TokenizerError::cancelled();
  }
  if (Status merged = run_merge_loop(model, words.value(), pairs, monitor); !merged) return merged;
  return derive_merge_tables(model);
}

}  // namespace

Status train(BpeTokenizer& tokenizer, Cancellation& cancellation) {
  if (tokenizer.is_trained) return TokenizerError::invalid_state("Cannot train a pretrained model");

  BpeTokenizer model(tokenizer.settings);
  TrainingMonitor monitor(cancellation, tokenizer.settings.show_progress);
  const Status trained = train_model(model, monitor);
  monitor.finish(trained.ok());
  if (!trained) return trained;

  tokenizer.token_table = std::move(model.token_table);
  tokenizer.merge_rules = std::move(model.merge_rules);
  tokenizer.ranks = std::move(model.ranks);
  tokenizer.pairs_to_merge = std::move(model.pairs_to_merge);
  tokenizer.encoding_state.reset();
  tokenizer.is_trained = true;
  return write_model_directory(tokenizer);
}

Status train(BpeTokenizer& tokenizer) {
  Cancellation never_stopped;
  return train(tokenizer, never_stopped);
}

}  // namespace wrenmark
