#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace wrenmark {

// A fault in a JSON text: the byte offset where it was found and what is wrong there.
struct JsonFault {
  std::size_t offset = 0;
  std::string description;
};

// The first place where `text` stops being one standard JSON value with only blanks around
// it, or nothing when it is such a value. simdjson finds faults but not always where they are
// (structural faults are reported at the start of the document); this scan runs only after
// simdjson has refused a text, to say what is wrong and where.
std::optional<JsonFault> find_syntax_fault(std::string_view text);

// Whether `token` is a JSON number: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view token);

// 1-based line and column of a byte offset; the column counts characters, not bytes.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

}  // namespace wrenmark
