#include "bpe_tokenizer/persistence/optional_config_members.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "bpe_tokenizer/core/byte_tokens.hpp"

namespace wrenmark {

namespace {

// A flag, written as true or false when it differs from its default.
template <bool Config::* Field>
constexpr OptionalConfigMember flag_member(std::string_view key,
                                           std::optional<std::string> (*fault)(const Config&) = nullptr) {
  return {
      key,
      [](const Config& config) { return config.*Field != Config{}.*Field; },
      [](const Config& config, JsonWriter& writer) { writer.boolean(config.*Field); },
      [](JsonFileReader& reader, ondemand::value& value, Config& config) {
        return reader.read_bool(value, config.*Field);
      },
      fault,
  };
}

// A text that may be absent, written as a string when present.
template <std::optional<std::string> Config::* Field>
constexpr OptionalConfigMember text_member(std::string_view key,
                                           std::optional<std::string> (*fault)(const Config&) = nullptr) {
  return {
      key,
      [](const Config& config) { return (config.*Field).has_value(); },
      [](const Config& config, JsonWriter& writer) { writer.string(*(config.*Field)); },
      [](JsonFileReader& reader, ondemand::value& value, Config& config) {
        std::string_view text;
        if (!reader.read_string(value, text)) return false;
        config.*Field = std::string(text);
        return true;
      },
      fault,
  };
}

// A count, written as a number when it differs from its default.
template <std::uint64_t Config::* Field>
constexpr OptionalConfigMember count_member(std::string_view key) {
  return {
      key,
      [](const Config& config) { return config.*Field != Config{}.*Field; },
      [](const Config& config, JsonWriter& writer) { writer.number(config.*Field); },
      [](JsonFileReader& reader, ondemand::value& value, Config& config) {
        return reader.read_unsigned(value, std::numeric_limits<std::uint64_t>::max(), config.*Field);
      },
  };
}

// A count that may be absent, written as a number when present.
template <std::optional<std::uint64_t> Config::* Field>
constexpr OptionalConfigMember optional_count_member(std::string_view key,
                                                     std::optional<std::string> (*fault)(const Config&) = nullptr) {
  return {
      key,
      [](const Config& config) { return (config.*Field).has_value(); },
      [](const Config& config, JsonWriter& writer) { writer.number(*(config.*Field)); },
      [](JsonFileReader& reader, ondemand::value& value, Config& config) {
        std::uint64_t count = 0;
        if (!reader.read_unsigned(value, std::numeric_limits<std::uint64_t>::max(), count)) return false;
        config.*Field = count;
        return true;
      },
      fault,
  };
}

// A limit of no characters would forbid every merge; no model is trained with it.
std::optional<std::string> max_token_length_fault(const Config& config) {
  if (*config.max_token_length > 0) return std::nullopt;
  return "max_token_length must be at least 1";
}

// Encoding looks the unknown token up among the special tokens, the only tokens that stand for no
// text of their own.
std::optional<std::string> unknown_token_fault(const Config& config) {
  if (std::ranges::find(config.special_tokens, *config.unknown_token) != config.special_tokens.end()) {
    return std::nullopt;
  }
  return "the unknown token `" + *config.unknown_token + "` is not one of the special tokens";
}

constexpr OptionalConfigMember kMembers[] = {
    text_member<&Config::unknown_token>("unknown_token", unknown_token_fault),
    flag_member<&Config::merge_all_occurrences>("merge_all_occurrences"),
    flag_member<&Config::byte_fallback>("byte_fallback", byte_fallback_fault),
    count_member<&Config::min_frequency>("min_frequency"),
    optional_count_member<&Config::max_token_length>("max_token_length", max_token_length_fault),
};

}  // namespace

std::span<const OptionalConfigMember> optional_config_members() { return kMembers; }

}  // namespace wrenmark
