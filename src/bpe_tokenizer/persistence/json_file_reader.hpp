#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/tokenizer_error.hpp"
#include "bpe_tokenizer/persistence/json_syntax.hpp"

namespace wrenmark {

namespace ondemand = simdjson::ondemand;

// Reads one model file with simdjson On-Demand. The read_* helpers check the shape of what they
// read and return false once a fault is met; the reader keeps that fault, and error() turns it
// into the JsonError to report, with the file name and the line and column of the fault.
class JsonFileReader {
 public:
  explicit JsonFileReader(std::string_view file_name) : file_name_(file_name) {}
  JsonFileReader(const JsonFileReader&) = delete;
  JsonFileReader& operator=(const JsonFileReader&) = delete;

  // Takes over the file's text and starts parsing it.
  bool start(std::string text);
  ondemand::document& document() { return document_; }
  // Checks that nothing but blanks follows the top-level value, once it has been read.
  bool finish();

  // An object, calling on_member(key, key_location, value) for every member in file order.
  template <typename Node, typename OnMember>
  bool read_object(Node& node, std::string_view expected, OnMember&& on_member);
  // An array, calling on_element(value) for every element.
  template <typename Node, typename OnElement>
  bool read_array(Node& node, std::string_view expected, OnElement&& on_element);
  // A record: an object with the named fields (in any order, other members skipped) or an array
  // of the field values in order. The first `required_count` fields must be present and the
  // rest are optional; an array holds exactly the required ones. Calls read_field(index, value) for each field read.
  template <typename Node, typename ReadField>
  bool read_record(Node& node, std::string_view record_name, std::span<const std::string_view> fields,
                   ReadField&& read_field, std::size_t required_count = static_cast<std::size_t>(-1));

  bool read_unsigned(ondemand::value& value, std::uint64_t max, std::uint64_t& result);
  bool read_bool(ondemand::value& value, bool& result);
  // The view stays valid until the next string of the same file is read.
  bool read_string(ondemand::value& value, std::string_view& result);
  // An enumeration: the variant's name as a string, or {"Name": null}. `index` is the position
  // of the name in `names`.
  bool read_variant(ondemand::value& value, std::span<const std::string_view> names, std::size_t& index);
  // Reads a value that is not used, only to make sure it is well-formed JSON.
  bool skip_value(ondemand::value& value, int depth = 0);

  // Records a fault at `location` and returns false.
  bool fail(const char* location, std::string description);
  // Records a fault that simdjson reported, at the parser's current position.
  bool fail(simdjson::error_code code);
  // Records a fault that is reported only if the whole file is otherwise readable.
  void defer_fault(const char* location, std::string description);
  bool has_deferred_fault() const { return deferred_fault_.has_value(); }

  // The error for the recorded fault. A syntax fault anywhere in the text takes precedence:
  // when the file is not JSON at all, that is what its reader needs to hear.
  TokenizerError error() const;

  template <typename Node>
  const char* location_of(Node& node) {
    auto location = node.current_location();
    return location.error() ? text_end() : location.value_unsafe();
  }
  // The closing bracket of the container that was just read.
  const char* closing_location();

 private:
  const char* text_end() const { return text_.data() + text_.size(); }
  // What a value found at `location` looks like, for "expected X, found Y" messages.
  std::string describe_at(const char* location) const;
  bool fail_expected(const char* location, std::string_view expected);
  std::size_t offset_of(const char* location) const;

  std::string_view file_name_;
  std::string text_;
  ondemand::parser parser_;
  ondemand::document document_;
  std::optional<JsonFault> fault_;
  std::optional<JsonFault> deferred_fault_;
};

template <typename Node, typename OnMember>
bool JsonFileReader::read_object(Node& node, std::string_view expected, OnMember&& on_member) {
  const char* location = location_of(node);
  ondemand::json_type type;
  if (auto error = node.type().get(type)) return fail(error);
  if (type != ondemand::json_type::object) return fail_expected(location, expected);
  ondemand::object object;
  if (auto error = node.get_object().get(object)) return fail(error);
  for (auto member : object) {
    ondemand::field field;
    if (auto error = std::move(member).get(field)) return fail(error);
    const char* key_location = field.key().raw() - 1;  // the opening quote
    std::string_view key;
    if (auto error = field.unescaped_key().get(key)) return fail(error);
    if (!on_member(key, key_location, field.value())) return false;
  }
  return true;
}

template <typename Node, typename OnElement>
bool JsonFileReader::read_array(Node& node, std::string_view expected, OnElement&& on_element) {
  const char* location = location_of(node);
  ondemand::json_type type;
  if (auto error = node.type().get(type)) return fail(error);
  if (type != ondemand::json_type::array) return fail_expected(location, expected);
  ondemand::array array;
  if (auto error = node.get_array().get(array)) return fail(error);
  for (auto element : array) {
    ondemand::value value;
    if (auto error = std::move(element).get(value)) return fail(error);
    if (!on_element(value)) return false;
  }
  return true;
}

template <typename Node, typename ReadField>
bool JsonFileReader::read_record(Node& node, std::string_view record_name, std::span<const std::string_view> fields,
                                 ReadField&& read_field, std::size_t required_count) {
  required_count = std::min(required_count, fields.size());
  const char* location = location_of(node);
  ondemand::json_type type;
  if (auto error = node.type().get(type)) return fail(error);

  if (type == ondemand::json_type::array) {
    std::size_t count = 0;
    const auto wrong_length = [&](const char* at, std::string_view found) {
      return fail(at, "expected " + std::to_string(required_count) + " values for " + std::string(record_name) +
                          ", found " + std::string(found));
    };
    const bool read = read_array(node, "", [&](ondemand::value& value) {
      if (count == required_count) return wrong_length(location_of(value), "more");
      return read_field(count++, value);
    });
    if (!read) return false;
    if (count < required_count) return wrong_length(closing_location(), std::to_string(count));
    return true;
  }

  if (type != ondemand::json_type::object) {
    return fail_expected(location, "a " + std::string(record_name) + " object or array");
  }
  std::vector<bool> seen(fields.size(), false);
  const bool read = read_object(node, "", [&](std::string_view key, const char* key_location, ondemand::value& value) {
    std::size_t index = 0;
    while (index < fields.size() && fields[index] != key) ++index;
    if (index == fields.size()) return skip_value(value);
    if (seen[index]) return fail(key_location, "duplicate field `" + std::string(key) + "`");
    seen[index] = true;
    return read_field(index, value);
  });
  if (!read) return false;
  for (std::size_t index = 0; index < required_count; ++index) {
    if (!seen[index]) return fail(closing_location(), "missing field `" + std::string(fields[index]) + "`");
  }
  return true;
}

}  // namespace wrenmark
