#include "bpe_tokenizer/persistence/optional_config_members.hpp"

namespace wrenmark {

namespace {

constexpr OptionalConfigMember kMembers[] = {
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
