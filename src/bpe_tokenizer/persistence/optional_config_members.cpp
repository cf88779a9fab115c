#include "bpe_tokenizer/persistence/optional_config_members.hpp"

#include <algorithm>

namespace wrenmark {

namespace {

constexpr OptionalConfigMember kMembers[] = {
    {
        "unknown_token",
        [](const Config& config) { return config.unknown_token.has_value(); },
        [](const Config& config, JsonWriter& writer) { writer.string(*config.unknown_token); },
        [](JsonFileReader& reader, ondemand::value& value, Config& config) {
          std::string_view token;
          if (!reader.read_string(value, token)) return false;
          config.unknown_token = std::string(token);
          return true;
        },
        // Encoding looks the unknown token up among the special tokens, the only tokens that
        // stand for no text of their own.
        [](const Config& config) -> std::optional<std::string> {
          if (std::ranges::find(config.special_tokens, *config.unknown_token) != config.special_tokens.end()) {
            return std::nullopt;
          }
          return "the unknown token `" + *config.unknown_token + "` is not one of the special tokens";
        },
    },
    {
        "merge_all_occurrences",
        [](const Config& config) { return config.merge_all_occurrences; },
        [](const Config& config, JsonWriter& writer) { writer.boolean(config.merge_all_occurrences); },
        [](JsonFileReader& reader, ondemand::value& value, Config& config) {
          return reader.read_bool(value, config.merge_all_occurrences);
        },
    },
};

}  // namespace

std::span<const OptionalConfigMember> optional_config_members() { return kMembers; }

}  // namespace wrenmark
