#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wrenmark {

// Builds one JSON document in memory in the model files' layout: two-space indentation, one
// member or element per line, "{}" and "[]" for empty containers, no line break at the end.
// The caller is trusted to nest calls correctly (a key before every object member, balanced
// begin/end); the writer only tracks what the layout needs.
class JsonWriter {
 public:
  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view name);
  void string(std::string_view text);
  void number(std::uint64_t value);
  void boolean(bool value);

  std::string take() { return std::move(output_); }

 private:
  struct Container {
    bool empty = true;
  };

  void open(char bracket);
  void close(char bracket);
  // Starts a new line for the next member or element of the innermost container.
  void new_entry();
  void indent(std::size_t level);
  void before_value();

  std::string output_;
  std::vector<Container> containers_;
  bool after_key_ = false;
};

// Appends `text` as a JSON string literal: quote and backslash escaped, \b \t \n \f \r for those
// controls, \u00xx (lower-case hex) for the other bytes below 0x20, everything else unchanged.
void append_json_string(std::string& output, std::string_view text);

}  // namespace wrenmark
