#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace wrenmark::utf8 {

// Length in bytes of the character whose first byte is `lead`. The text is valid UTF-8, so
// the lead byte alone decides.
constexpr std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// The code point of the character that `character` starts with (valid UTF-8 assumed).
inline char32_t decode(std::string_view character) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(character.data());
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return lead;
  if (lead < 0xE0) return (char32_t(lead & 0x1F) << 6) | (bytes[1] & 0x3F);
  if (lead < 0xF0) return (char32_t(lead & 0x0F) << 12) | (char32_t(bytes[1] & 0x3F) << 6) | (bytes[2] & 0x3F);
  return (char32_t(lead & 0x07) << 18) | (char32_t(bytes[1] & 0x3F) << 12) | (char32_t(bytes[2] & 0x3F) << 6) |
         (bytes[3] & 0x3F);
}

// Calls `on_character(std::string_view character)` for every character of valid UTF-8 `text`.
template <typename OnCharacter>
void for_each_character(std::string_view text, OnCharacter&& on_character) {
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t length = sequence_length(static_cast<unsigned char>(text[position]));
    on_character(text.substr(position, length));
    position += length;
  }
}

// Whether `text` is valid UTF-8.
bool is_valid(std::string_view text);

}  // namespace wrenmark::utf8
