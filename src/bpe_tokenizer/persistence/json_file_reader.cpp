#include "bpe_tokenizer/persistence/json_file_reader.hpp"

#include <new>

namespace wrenmark {

namespace {

// Unknown members are checked by recursion; the bound keeps that within a small thread stack
// (a few kilobytes here, and the files need three levels).
constexpr int kMaxDepth = 128;
constexpr std::size_t kMaxShownToken = 40;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// simdjson reports an allocation that failed as an error of the document; like every allocation
// failure of the core it unwinds, so that the caller raises MemoryError rather than a file error.
void unwind_if_out_of_memory(simdjson::error_code code) {
  if (code == simdjson::MEMALLOC) throw std::bad_alloc();
}

}  // namespace

bool JsonFileReader::start(std::string text) {
  text_ = std::move(text);
  // simdjson reads a little past the end; the padding is made of blanks so that it is defined.
  const std::size_t size = text_.size();
  text_.resize(size + simdjson::SIMDJSON_PADDING, ' ');
  text_.resize(size);
  auto document = parser_.iterate(text_.data(), text_.size(), text_.capacity());
  // No document to ask for a position yet; the syntax scan of error() will place the fault.
  if (auto error = document.error()) {
    unwind_if_out_of_memory(error);
    return fail(text_.data(), simdjson::error_message(error));
  }
  document_ = std::move(document).value_unsafe();
  return true;
}

bool JsonFileReader::finish() {
  auto location = document_.current_location();
  if (!location.error()) return fail(location.value_unsafe(), "trailing characters");
  return true;
}

std::size_t JsonFileReader::offset_of(const char* location) const {
  if (location < text_.data() || location > text_end()) return text_.size();
  return static_cast<std::size_t>(location - text_.data());
}

const char* JsonFileReader::closing_location() {
  const char* next = location_of(document_);
  while (next > text_.data() && is_blank(next[-1])) --next;
  return next > text_.data() ? next - 1 : next;
}

bool JsonFileReader::fail(const char* location, std::string description) {
  if (!fault_) fault_ = JsonFault{offset_of(location), std::move(description)};
  return false;
}

bool JsonFileReader::fail(simdjson::error_code code) {
  unwind_if_out_of_memory(code);
  return fail(location_of(document_), simdjson::error_message(code));
}

void JsonFileReader::defer_fault(const char* location, std::string description) {
  if (!deferred_fault_) deferred_fault_ = JsonFault{offset_of(location), std::move(description)};
}

TokenizerError JsonFileReader::error() const {
  JsonFault fault;
  if (auto syntax_fault = find_syntax_fault(text_)) {
    fault = std::move(*syntax_fault);
  } else if (fault_) {
    fault = *fault_;
  } else if (deferred_fault_) {
    fault = *deferred_fault_;
  }
  const TextPosition position = position_of(text_, fault.offset);
  return TokenizerError::json_error(fault.description + " in " + std::string(file_name_) + " at line " +
                                    std::to_string(position.line) + " column " + std::to_string(position.column));
}

std::string JsonFileReader::describe_at(const char* location) const {
  const std::size_t start = offset_of(location);
  if (start >= text_.size()) return "the end of the file";
  if (text_[start] == '{') return "an object";
  if (text_[start] == '[') return "an array";
  std::size_t end = start + 1;
  if (text_[start] == '"') {
    while (end < text_.size() && text_[end] != '"') end += text_[end] == '\\' ? 2 : 1;
    end = std::min(end + 1, text_.size());
  } else {
    while (end < text_.size() && !is_blank(text_[end]) &&
           std::string_view(",:]}").find(text_[end]) == std::string_view::npos) {
      ++end;
    }
  }
  std::string_view token = std::string_view(text_).substr(start, end - start);
  std::string shown = "`";
  if (token.size() <= kMaxShownToken) {
    shown.append(token);
  } else {
    std::size_t cut = kMaxShownToken;
    while (cut > 0 && (static_cast<unsigned char>(token[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
    shown.append(token.substr(0, cut)).append("...");
  }
  shown.push_back('`');
  return shown;
}

bool JsonFileReader::fail_expected(const char* location, std::string_view expected) {
  return fail(location, "expected " + std::string(expected) + ", found " + describe_at(location));
}

bool JsonFileReader::read_unsigned(ondemand::value& value, std::uint64_t max, std::uint64_t& result) {
  const char* location = location_of(value);
  if (value.get_uint64().get(result) || result > max) {
    return fail_expected(location, "an integer from 0 to " + std::to_string(max));
  }
  return true;
}

bool JsonFileReader::read_bool(ondemand::value& value, bool& result) {
  const char* location = location_of(value);
  ondemand::json_type type;
  if (auto error = value.type().get(type)) return fail(error);
  if (type != ondemand::json_type::boolean) return fail_expected(location, "a boolean");
  if (auto error = value.get_bool().get(result)) return fail(error);
  return true;
}

bool JsonFileReader::read_string(ondemand::value& value, std::string_view& result) {
  const char* location = location_of(value);
  ondemand::json_type type;
  if (auto error = value.type().get(type)) return fail(error);
  if (type != ondemand::json_type::string) return fail_expected(location, "a string");
  if (auto error = value.get_string().get(result)) return fail(error);
  return true;
}

bool JsonFileReader::read_variant(ondemand::value& value, std::span<const std::string_view> names, std::size_t& index) {
  std::string expected;
  for (const std::string_view name : names) {
    if (!expected.empty()) expected.append(" or ");
    expected.append("`").append(name).append("`");
  }
  const auto find_name = [&](std::string_view name, const char* location) {
    for (index = 0; index < names.size(); ++index) {
      if (names[index] == name) return true;
    }
    return fail(location, "unknown variant `" + std::string(name) + "`, expected " + expected);
  };

  const char* location = location_of(value);
  ondemand::json_type type;
  if (auto error = value.type().get(type)) return fail(error);
  if (type == ondemand::json_type::string) {
    std::string_view name;
    return read_string(value, name) && find_name(name, location);
  }
  if (type != ondemand::json_type::object) return fail_expected(location, "a variant name, " + expected);

  std::size_t members = 0;
  const bool read = read_object(value, "", [&](std::string_view name, const char* key_location, ondemand::value& unit) {
    if (++members > 1) return fail(key_location, "expected a single member naming the variant, found more");
    if (!find_name(name, key_location)) return false;
    const char* unit_location = location_of(unit);
    auto is_null = unit.is_null();
    if (is_null.error() || !is_null.value_unsafe()) return fail_expected(unit_location, "null");
    return true;
  });
  if (!read) return false;
  if (members == 0) return fail(closing_location(), "expected a single member naming the variant, found none");
  return true;
}

bool JsonFileReader::skip_value(ondemand::value& value, int depth) {
  const char* location = location_of(value);
  if (depth > kMaxDepth) return fail(location, "recursion limit exceeded");
  ondemand::json_type type;
  if (auto error = value.type().get(type)) return fail(error);
  switch (type) {
    case ondemand::json_type::object:
      return read_object(value, "", [&](std::string_view, const char*, ondemand::value& member) {
        return skip_value(member, depth + 1);
      });
    case ondemand::json_type::array:
      return read_array(value, "", [&](ondemand::value& element) { return skip_value(element, depth + 1); });
    case ondemand::json_type::string: {
      std::string_view ignored;
      return read_string(value, ignored);
    }
    case ondemand::json_type::number: {
      std::string_view token = value.raw_json_token();
      while (!token.empty() && is_blank(token.back())) token.remove_suffix(1);
      return is_json_number(token) || fail(location, "invalid number");
    }
    case ondemand::json_type::boolean: {
      bool ignored = false;
      if (auto error = value.get_bool().get(ignored)) return fail(error);
      return true;
    }
    case ondemand::json_type::null: {
      auto is_null = value.is_null();
      return (!is_null.error() && is_null.value_unsafe()) || fail(location, "invalid literal");
    }
  }
  return fail(location, "expected value");
}

}  // namespace wrenmark
