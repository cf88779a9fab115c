#include "bpe_tokenizer/persistence/json_writer.hpp"

#include <charconv>

namespace wrenmark {

void append_json_string(std::string& output, std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  output.push_back('"');
  std::size_t plain_start = 0;
  for (std::size_t position = 0; position < text.size(); ++position) {
    const auto byte = static_cast<unsigned char>(text[position]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    output.append(text, plain_start, position - plain_start);
    plain_start = position + 1;
    switch (byte) {
      case '"': output.append("\\\""); break;
      case '\\': output.append("\\\\"); break;
      case '\b': output.append("\\b"); break;
      case '\t': output.append("\\t"); break;
      case '\n': output.append("\\n"); break;
      case '\f': output.append("\\f"); break;
      case '\r': output.append("\\r"); break;
      default:
        output.append("\\u00");
        output.push_back(kHexDigits[byte >> 4]);
        output.push_back(kHexDigits[byte & 0x0F]);
    }
  }
  output.append(text, plain_start, text.size() - plain_start);
  output.push_back('"');
}

void JsonWriter::indent(std::size_t level) { output_.append(2 * level, ' '); }

void JsonWriter::new_entry() {
  Container& container = containers_.back();
  output_.append(container.empty ? "\n" : ",\n");
  container.empty = false;
  indent(containers_.size());
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
  } else if (!containers_.empty()) {
    new_entry();  // an array element
  }
}

void JsonWriter::open(char bracket) {
  before_value();
  output_.push_back(bracket);
  containers_.push_back(Container{});
}

void JsonWriter::close(char bracket) {
  const bool was_empty = containers_.back().empty;
  containers_.pop_back();
  if (!was_empty) {
    output_.push_back('\n');
    indent(containers_.size());
  }
  output_.push_back(bracket);
}

void JsonWriter::begin_object() { open('{'); }
void JsonWriter::end_object() { close('}'); }
void JsonWriter::begin_array() { open('['); }
void JsonWriter::end_array() { close(']'); }

void JsonWriter::key(std::string_view name) {
  new_entry();
  append_json_string(output_, name);
  output_.append(": ");
  after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
  before_value();
  append_json_string(output_, text);
}

void JsonWriter::number(std::uint64_t value) {
  before_value();
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  output_.append(digits, result.ptr);
}

void JsonWriter::boolean(bool value) {
  before_value();
  output_.append(value ? "true" : "false");
}

}  // namespace wrenmark
