#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/persistence/json_file_reader.hpp"
#include "bpe_tokenizer/persistence/json_writer.hpp"

namespace wrenmark {

// A member of config.json beyond the four that every model has. It is written only when its
// setting is in use, so that a model trained without it keeps the bytes it always had, and a
// reader that meets it restores the setting.
struct OptionalConfigMember {
  std::string_view key;
  bool (*in_use)(const Config& config);
  void (*write)(const Config& config, JsonWriter& writer);
  bool (*read)(JsonFileReader& reader, ondemand::value& value, Config& config);
  // What is wrong with the member's value given the whole record, which the reader reports at
  // the member; null when the value needs no other member to be valid.
  std::optional<std::string> (*fault)(const Config& config) = nullptr;
};

// The optional members in the order they are written, after the four. A new field of `Config`
// adds its member at the end of this list, made by the helper of its kind (a flag, an optional
// text, ...) in optional_config_members.cpp.
std::span<const OptionalConfigMember> optional_config_members();

}  // namespace wrenmark
