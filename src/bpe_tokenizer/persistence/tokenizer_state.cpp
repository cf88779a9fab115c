#include "bpe_tokenizer/persistence/tokenizer_state.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/byte_format.hpp"
#include "bpe_tokenizer/persistence/json_file_reader.hpp"
#include "bpe_tokenizer/persistence/json_writer.hpp"
#include "bpe_tokenizer/persistence/model_format.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kMagic = "WMTK";
constexpr std::uint32_t kVersion = 1;
constexpr std::string_view kSettingsName = "settings.json";
constexpr std::size_t kChecksumBytes = 8;

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
  const Config config = tokenizer.config();
  const Model untrained;
  const Model& model = tokenizer.model ? *tokenizer.model : untrained;
  const std::size_t file_count = tokenizer.trained() ? kModelFiles.size() : 1;

  std::string out(kMagic);
  put_fixed(out, kVersion, 4);
  put_fixed(out, file_count, 4);
  put_section(out, write_process_settings(tokenizer.settings));
  for (std::size_t file = 0; file < file_count; ++file) put_section(out, kModelFiles[file].write(config, model));
  put_fixed(out, checksum(out), 8);
  return out;
}

Result<BpeTokenizer> parse_tokenizer_state(std::string_view bytes) {
  if (bytes.size() < kMagic.size() + kChecksumBytes || bytes.substr(0, kMagic.size()) != kMagic) {
    return invalid("not a wrenmark tokenizer");
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  ByteReader trailer(bytes.substr(body.size()));
  std::uint64_t stored_checksum = 0;
  if (!trailer.fixed(8, stored_checksum) || stored_checksum != checksum(body)) return invalid("checksum mismatch");

  ByteReader reader(body.substr(kMagic.size()));
  std::uint64_t version = 0;
  if (!reader.fixed(4, version)) return invalid("truncated header");
  if (version != kVersion) {
    return invalid("format version " + std::to_string(version) + ", this release reads version " +
                   std::to_string(kVersion));
  }
  std::uint64_t file_count = 0;
  if (!reader.fixed(4, file_count)) return invalid("truncated header");
  if (file_count != 1 && file_count != kModelFiles.size()) return invalid("wrong number of model files");
  std::string_view settings_text;
  std::array<std::string_view, kModelFiles.size()> files;
  if (!take_section(reader, settings_text)) return invalid("truncated settings");
  for (std::size_t file = 0; file < file_count; ++file) {
    if (!take_section(reader, files[file])) return invalid("truncated model files");
  }
  if (!reader.at_end()) return invalid("trailing bytes");

  SavedModel saved;
  for (std::size_t file = 0; file < file_count; ++file) {
    if (Status read = read_model_text(kModelFiles[file], std::string(files[file]), saved); !read) return read.error();
  }
  TokenizerSettings settings = loaded_settings(std::move(saved.config));
  if (Status read = read_process_settings(settings_text, settings); !read) return read.error();
  if (file_count == 1) return BpeTokenizer(std::move(settings));
  return BpeTokenizer(std::move(settings), std::make_shared<const Model>(std::move(saved.model)));
}

}  // namespace wrenmark
