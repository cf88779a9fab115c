#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wrenmark {

// How text is split into words.
enum class PreTokenization : std::uint8_t { Whitespace = 0, Punctuation = 1 };

// How special tokens are cut out of the corpus before training.
enum class SpecialTokenRemovalMethod : std::uint8_t { Simple = 0, AhoCorasick = 1 };

constexpr std::string_view variant_name(PreTokenization value) {
  return value == PreTokenization::Whitespace ? "Whitespace" : "Punctuation";
}
constexpr std::string_view variant_name(SpecialTokenRemovalMethod value) {
  return value == SpecialTokenRemovalMethod::Simple ? "Simple" : "AhoCorasick";
}

// What the constructor was given. Nothing is validated here: training and saving report
// problems when they meet them.
struct TokenizerSettings {
  std::string input_path;
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenization = PreTokenization::Whitespace;
  std::vector<std::string> special_tokens;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
  bool save_model = false;
  std::optional<std::string> output_dir;
  // Training rewrites every occurrence of the selected pair, as classic BPE does, instead of the
  // occurrences that the default loop's position lists still name.
  bool merge_all_occurrences = false;
};

// The settings that a saved model keeps, in the order they are written. The members after the
// first four are written only when their setting differs from its default.
struct Config {
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenization = PreTokenization::Whitespace;
  std::vector<std::string> special_tokens;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
  bool merge_all_occurrences = false;
};

}  // namespace wrenmark
