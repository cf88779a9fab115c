#include "bpe_tokenizer/persistence/tokenizer_state.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/byte_format.hpp"
#include "bpe_tokenizer/persistence/json_file_reader.hpp"
#include "bpe_tokenizer/persistence/json_writer.hpp"
#include "bpe_tokenizer/persistence/model_bytes.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/model_format.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kMagic = "WMTK";
constexpr std::uint32_t kVersion = 1;
constexpr std::string_view kSettingsName = "settings.json";

TokenizerError invalid(std::string_view what) {
  return TokenizerError(ErrorKind::InvalidState, "invalid tokenizer state: " + std::string(what));
}

template <typename Visit>
void for_each_process_setting(Visit&& visit) {
  std::apply([&](const auto&... member) { (visit(member), ...); }, kProcessSettings);
}

// ---- settings.json: one writer and one reader per type of field.

void write_setting(JsonWriter& writer, std::string_view name, const std::string& text) {
  writer.key(name);
  writer.string(text);
}
void write_setting(JsonWriter& writer, std::string_view name, bool flag) {
  writer.key(name);
  writer.boolean(flag);
}
void write_setting(JsonWriter& writer, std::string_view name, const std::optional<std::string>& text) {
  if (text) write_setting(writer, name, *text);
}
void write_setting(JsonWriter& writer, std::string_view name, std::uint64_t number) {
  writer.key(name);
  writer.number(number);
}
void write_setting(JsonWriter& writer, std::string_view name, const std::optional<std::uint64_t>& number) {
  if (number) write_setting(writer, name, *number);
}
// A probability travels as the bits of its double, so that it comes back exactly.
void write_setting(JsonWriter& writer, std::string_view name, double probability) {
  write_setting(writer, name, std::bit_cast<std::uint64_t>(probability));
}

bool read_setting(JsonFileReader& reader, ondemand::value& value, std::string& text) {
  std::string_view read;
  if (!reader.read_string(value, read)) return false;
  text = std::string(read);
  return true;
}
bool read_setting(JsonFileReader& reader, ondemand::value& value, bool& flag) { return reader.read_bool(value, flag); }
bool read_setting(JsonFileReader& reader, ondemand::value& value, std::optional<std::string>& text) {
  std::string read;
  if (!read_setting(reader, value, read)) return false;
  text = std::move(read);
  return true;
}
bool read_setting(JsonFileReader& reader, ondemand::value& value, std::optional<std::uint64_t>& number) {
  std::uint64_t read = 0;
  if (!reader.read_unsigned(value, std::numeric_limits<std::uint64_t>::max(), read)) return false;
  number = read;
  return true;
}
// Only the probabilities that the attribute accepts, [0, 1), are read back.
bool read_setting(JsonFileReader& reader, ondemand::value& value, double& probability) {
  std::uint64_t bits = 0;
  if (!reader.read_unsigned(value, std::bit_cast<std::uint64_t>(1.0) - 1, bits)) return false;
  probability = std::bit_cast<double>(bits);
  return true;
}

std::string write_process_settings(const TokenizerSettings& settings) {
  JsonWriter writer;
  writer.begin_object();
  for_each_process_setting([&](const auto& member) { write_setting(writer, member.name, settings.*member.field); });
  writer.end_object();
  return writer.take();
}

Status read_process_settings(std::string_view text, TokenizerSettings& settings) {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> all;
    for_each_process_setting([&](const auto& member) { all.push_back(member.name); });
    return all;
  }();
  JsonFileReader reader(kSettingsName);
  const auto read_field = [&](std::size_t index, ondemand::value& value) {
    std::size_t position = 0;
    bool read = false;
    for_each_process_setting([&](const auto& member) {
      if (position++ == index) read = read_setting(reader, value, settings.*member.field);
    });
    return read;
  };
  if (!reader.start(std::string(text)) || !reader.read_record(reader.document(), "settings", names, read_field, 0) ||
      !reader.finish()) {
    return reader.error();
  }
  return {};
}

// ---- the container.

const ModelFile& config_file() {
  static const ModelFile& file = *std::ranges::find(kModelFiles, model_files::kConfig, &ModelFile::name);
  return file;
}

void put_section(std::string& out, std::string_view bytes) {
  put_fixed(out, bytes.size(), 8);
  out.append(bytes);
}

bool take_section(ByteReader& reader, std::string_view& section) {
  std::uint64_t size = 0;
  return reader.fixed(8, size) && reader.text(size, section);
}

}  // namespace

std::string serialize_tokenizer_state(const BpeTokenizer& tokenizer) {
  std::string out(kMagic);
  put_fixed(out, kVersion, 4);
  put_section(out, write_process_settings(tokenizer.settings));
  put_section(out, config_file().write(tokenizer.config(), Model{}));
  out.push_back(tokenizer.trained() ? 1 : 0);
  if (tokenizer.trained()) {
    std::string model;
    append_model_bytes(*tokenizer.model, model);
    put_section(out, model);
  }
  append_checksum(out);
  return out;
}

Result<BpeTokenizer> parse_tokenizer_state(std::string_view bytes) {
  std::string_view contents;
  switch (check_frame(bytes, kMagic, 0, contents)) {
    case FrameCheck::WrongMagic: return invalid("not a wrenmark tokenizer");
    case FrameCheck::ChecksumMismatch: return invalid("checksum mismatch");
    case FrameCheck::Valid: break;
  }
  ByteReader reader(contents);
  std::uint64_t version = 0;
  if (!reader.fixed(4, version)) return invalid("truncated header");
  if (version != kVersion) {
    return invalid("format version " + std::to_string(version) + ", this release reads version " +
                   std::to_string(kVersion));
  }
  std::string_view settings_text;
  std::string_view config_text;
  std::uint64_t trained = 0;
  std::string_view model_bytes;
  if (!take_section(reader, settings_text) || !take_section(reader, config_text) || !reader.fixed(1, trained) ||
      trained > 1 || (trained == 1 && !take_section(reader, model_bytes))) {
    return invalid("truncated or malformed layout");
  }
  if (!reader.at_end()) return invalid("trailing bytes");

  SavedModel saved;
  if (Status read = read_model_text(config_file(), std::string(config_text), saved); !read) return read.error();
  TokenizerSettings settings = loaded_settings(std::move(saved.config));
  if (Status read = read_process_settings(settings_text, settings); !read) return read.error();
  if (trained == 0) return BpeTokenizer(std::move(settings));
  auto model = parse_model_bytes(model_bytes);
  if (!model) return model.error();
  return BpeTokenizer(std::move(settings), std::make_shared<const Model>(std::move(model).value()));
}

}  // namespace wrenmark
