#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
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

// The settings that a saved model keeps (config.json), each with the default that a new
// tokenizer has. The first four are written by every model; each later one is an optional
// member of config.json (persistence/optional_config_members.cpp), written only when it differs
// from its default, so a model that does not use it keeps the bytes it always had.
struct Config {
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenization = PreTokenization::Whitespace;
  std::vector<std::string> special_tokens;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
  // The special token that stands for a character the vocabulary lacks; absent, such a
  // character fails the encoding.
  std::optional<std::string> unknown_token;
  // Training rewrites every occurrence of the selected pair, as classic BPE does, instead of the
  // occurrences that the default loop's position lists still name.
  bool merge_all_occurrences = false;
  // The vocabulary holds the 256 byte tokens (core/byte_tokens.hpp), and a character without a
  // token of its own encodes as the byte tokens of its UTF-8 bytes.
  bool byte_fallback = false;
  // Merging stops once the best pair occurs fewer times than this; 0 never stops it.
  std::uint64_t min_frequency = 0;
  // No pair whose joined token would have more characters than this ("</w>" not counted) is
  // merged; absent, any length is.
  std::optional<std::uint64_t> max_token_length;
};

// Everything a tokenizer is set up with: what a saved model keeps, and what only this process
// uses, which a loaded tokenizer has at its defaults. Nothing is validated here: training and
// saving report problems when they meet them.
struct TokenizerSettings : Config {
  std::string input_path;
  bool save_model = false;
  std::optional<std::string> output_dir;
  // Whether train() draws its progress on standard error.
  bool show_progress = false;
  // BPE-dropout: the probability, in [0, 1), with which encoding skips each merge that could
  // apply. Seeded by `dropout_seed`, or afresh on every call when it is absent.
  double dropout = 0.0;
  std::optional<std::uint64_t> dropout_seed;
};

// A field of the settings record by name, for code that carries a whole record (pickling).
template <typename Field>
struct SettingMember {
  std::string_view name;
  Field TokenizerSettings::* field;
};

// The fields of `TokenizerSettings` beyond `Config`, each once, in field order. What a saved
// model keeps travels as config.json does; these travel beside it, so a new field of
// `TokenizerSettings` adds its line here (a field of a new type also teaches
// persistence/tokenizer_state.cpp to write and read it).
inline constexpr std::tuple kProcessSettings{
    SettingMember<std::string>{"input_path", &TokenizerSettings::input_path},
    SettingMember<bool>{"save_model", &TokenizerSettings::save_model},
    SettingMember<std::optional<std::string>>{"output_dir", &TokenizerSettings::output_dir},
    SettingMember<bool>{"show_progress", &TokenizerSettings::show_progress},
    SettingMember<double>{"dropout", &TokenizerSettings::dropout},
    SettingMember<std::optional<std::uint64_t>>{"dropout_seed", &TokenizerSettings::dropout_seed},
};

// What a model saved with `settings` keeps.
inline Config saved_config(const TokenizerSettings& settings) { return static_cast<const Config&>(settings); }

// The settings of a tokenizer loaded from a model that kept `config`: no corpus, no saving, no
// progress.
inline TokenizerSettings loaded_settings(Config config) {
  TokenizerSettings settings;
  static_cast<Config&>(settings) = std::move(config);
  return settings;
}

}  // namespace wrenmark
