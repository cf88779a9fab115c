#include "bpe_tokenizer/persistence/json_syntax.hpp"

#include <vector>

#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_number_character(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Walks the text once, keeping only the stack of open containers, and stops at the first fault.
class SyntaxScanner {
 public:
  explicit SyntaxScanner(std::string_view text) : text_(text) {}

  std::optional<JsonFault> scan() {
    skip_blanks();
    if (!parse_value()) return fault_;
    while (true) {
      skip_blanks();
      if (first_entry_pending_) {
        first_entry_pending_ = false;
        if (open_.back() == '{' && !parse_key()) return fault_;
        if (!parse_value()) return fault_;
        continue;
      }
      if (open_.empty()) {
        if (position_ < text_.size()) fail(position_, "trailing characters");
        return fault_;
      }
      if (at_end()) {
        fail(position_, open_.back() == '{' ? "EOF while parsing an object" : "EOF while parsing an array");
        return fault_;
      }
      const char closer = open_.back() == '{' ? '}' : ']';
      const char next = text_[position_];
      if (next == closer) {
        ++position_;
        open_.pop_back();
        continue;
      }
      if (next != ',') {
        fail(position_, open_.back() == '{' ? "expected `,` or `}`" : "expected `,` or `]`");
        return fault_;
      }
      ++position_;
      skip_blanks();
      if (open_.back() == '{' && !parse_key()) return fault_;
      if (!parse_value()) return fault_;
    }
  }

 private:
  bool at_end() const { return position_ >= text_.size(); }
  void skip_blanks() {
    while (!at_end() && is_blank(text_[position_])) ++position_;
  }
  bool fail(std::size_t offset, std::string description) {
    fault_ = JsonFault{offset, std::move(description)};
    return false;
  }

  // A key and its colon, with the blanks after the colon; the position is at a key.
  bool parse_key() {
    if (at_end()) return fail(position_, "EOF while parsing an object");
    if (text_[position_] != '"') return fail(position_, "key must be a string");
    if (!parse_string()) return false;
    skip_blanks();
    if (at_end()) return fail(position_, "EOF while parsing an object");
    if (text_[position_] != ':') return fail(position_, "expected `:`");
    ++position_;
    skip_blanks();
    return true;
  }

  // One value. A container is only opened here and left on the stack for scan() to fill, so
  // that deep nesting costs stack entries, not recursion; an empty one is closed at once.
  bool parse_value() {
    if (at_end()) return fail(position_, "EOF while parsing a value");
    const char first = text_[position_];
    if (first == '{' || first == '[') {
      const char closer = first == '{' ? '}' : ']';
      ++position_;
      skip_blanks();
      if (!at_end() && text_[position_] == closer) {
        ++position_;
        return true;
      }
      open_.push_back(first);
      first_entry_pending_ = true;
      return true;
    }
    if (first == '"') return parse_string();
    if (first == '-' || is_digit(first)) return parse_number();
    for (const std::string_view literal : {"true", "false", "null"}) {
      if (first == literal.front()) {
        if (text_.substr(position_, literal.size()) != literal) return fail(position_, "invalid literal");
        position_ += literal.size();
        return true;
      }
    }
    return fail(position_, "expected value");
  }

  bool parse_number() {
    const std::size_t start = position_;
    while (!at_end() && is_number_character(text_[position_])) ++position_;
    if (!is_json_number(text_.substr(start, position_ - start))) return fail(start, "invalid number");
    return true;
  }

  // Four hex digits after "\u" at `position_`; nothing when they are not there.
  std::optional<unsigned> hex_escape() {
    if (text_.size() - position_ < 4) return std::nullopt;
    unsigned value = 0;
    for (std::size_t index = 0; index < 4; ++index) {
      const char digit = text_[position_ + index];
      if (!is_hex_digit(digit)) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(is_digit(digit) ? digit - '0' : (digit | 0x20) - 'a' + 10);
    }
    position_ += 4;
    return value;
  }

  bool parse_escape() {
    const std::size_t start = position_ - 1;  // the backslash
    if (at_end()) return fail(position_, "EOF while parsing a string");
    const char kind = text_[position_++];
    if (kind != 'u') {
      if (std::string_view("\"\\/bfnrt").find(kind) == std::string_view::npos) return fail(start, "invalid escape");
      return true;
    }
    const auto unit = hex_escape();
    if (!unit) return fail(start, "invalid escape");
    if (*unit >= 0xDC00 && *unit <= 0xDFFF) return fail(start, "lone trailing surrogate in hex escape");
    if (*unit < 0xD800 || *unit > 0xDBFF) return true;
    if (text_.substr(position_, 2) != "\\u") return fail(start, "lone leading surrogate in hex escape");
    position_ += 2;
    const auto low = hex_escape();
    if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail(start, "lone leading surrogate in hex escape");
    return true;
  }

  // One multi-byte UTF-8 character starting at `position_`.
  bool parse_utf8_character() {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text_.data());
    const std::size_t length = utf8::valid_sequence_length(bytes + position_, text_.size() - position_);
    if (length == 0) return fail(position_, "invalid UTF-8");
    position_ += length;
    return true;
  }

  bool parse_string() {
    ++position_;  // the opening quote
    while (true) {
      if (at_end()) return fail(position_, "EOF while parsing a string");
      const auto byte = static_cast<unsigned char>(text_[position_]);
      if (byte == '"') {
        ++position_;
        return true;
      }
      if (byte == '\\') {
        ++position_;
        if (!parse_escape()) return false;
      } else if (byte < 0x20) {
        return fail(position_, "control character (\\u0000-\\u001F) found while parsing a string");
      } else if (byte >= 0x80) {
        if (!parse_utf8_character()) return false;
      } else {
        ++position_;
      }
    }
  }

  std::string_view text_;
  std::size_t position_ = 0;
  std::vector<char> open_;
  bool first_entry_pending_ = false;
  std::optional<JsonFault> fault_;
};

}  // namespace

std::optional<JsonFault> find_syntax_fault(std::string_view text) { return SyntaxScanner(text).scan(); }

bool is_json_number(std::string_view token) {
  std::size_t position = 0;
  const auto digits = [&] {
    const std::size_t start = position;
    while (position < token.size() && is_digit(token[position])) ++position;
    return position - start;
  };
  if (position < token.size() && token[position] == '-') ++position;
  if (position < token.size() && token[position] == '0') {
    ++position;
  } else if (digits() == 0) {
    return false;
  }
  if (position < token.size() && token[position] == '.') {
    ++position;
    if (digits() == 0) return false;
  }
  if (position < token.size() && (token[position] == 'e' || token[position] == 'E')) {
    ++position;
    if (position < token.size() && (token[position] == '+' || token[position] == '-')) ++position;
    if (digits() == 0) return false;
  }
  return position == token.size();
}

TextPosition position_of(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  TextPosition position;
  std::size_t line_start = 0;
  for (std::size_t index = 0; index < offset; ++index) {
    if (text[index] == '\n') {
      ++position.line;
      line_start = index + 1;
    }
  }
  for (std::size_t index = line_start; index < offset; ++index) {
    // Continuation bytes belong to the character before.
    if (!utf8::is_continuation(static_cast<unsigned char>(text[index]))) ++position.column;
  }
  return position;
}

}  // namespace wrenmark
