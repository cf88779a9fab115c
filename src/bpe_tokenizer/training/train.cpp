#include "bpe_tokenizer/training/train.hpp"

#include <chrono>
#include <optional>
#include <string>

#include "bpe_tokenizer/io/console.hpp"
#include "bpe_tokenizer/persistence/model_writer.hpp"
#include "bpe_tokenizer/training/classic_merge_loop.hpp"
#include "bpe_tokenizer/training/corpus_reader.hpp"
#include "bpe_tokenizer/training/duration_format.hpp"
#include "bpe_tokenizer/training/merge_loop.hpp"
#include "bpe_tokenizer/training/special_token_removal.hpp"
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

}  // namespace

Status train(BpeTokenizer& tokenizer) {
  if (tokenizer.trained()) return TokenizerError::invalid_state("Cannot train a pretrained model");

  Result<std::string> corpus = read_corpus(tokenizer.settings.input_path);
  if (!corpus) return corpus.error();
  std::string text = std::move(corpus).value();

  const TokenizerSettings& settings = tokenizer.settings;
  Model model;
  if (!settings.special_tokens.empty()) {
    for (const std::string& token : settings.special_tokens) model.token_table.add_token(token);
    PhaseTimer timer;
    Result<std::string> cleaned =
        remove_special_tokens(std::move(text), settings.special_tokens, settings.special_token_removal_method);
    if (!cleaned) return cleaned.error();
    text = std::move(cleaned).value();
    timer.report("removing special tokens");
  }

  const bool classic = settings.merge_all_occurrences;
  PairTable pairs;
  Result<WordTable> words = [&] {
    PhaseTimer timer;
    Result<WordTable> built = build_vocabulary(text, settings.pre_tokenization, model.token_table);
    if (built && !classic) record_initial_occurrences(built.value(), pairs);
    timer.report("vocab builder");
    return built;
  }();
  if (!words) return words.error();
  std::string().swap(text);

  std::optional<ClassicMergeLoop> classic_loop;
  {
    PhaseTimer timer;
    if (classic) {
      classic_loop.emplace(words.value());
    } else {
      count_initial_pairs(words.value(), pairs);
    }
    timer.report("build initial pair");
  }
  Status merged = classic ? classic_loop->run(model, settings.target_vocab_size)
                          : run_merge_loop(model, settings.target_vocab_size, words.value(), pairs);
  if (!merged) return merged;
  if (Status derived = model.derive_lookup_tables(); !derived) return derived;
  tokenizer.model = std::make_shared<const Model>(std::move(model));
  return write_model_directory(tokenizer);
}

}  // namespace wrenmark
