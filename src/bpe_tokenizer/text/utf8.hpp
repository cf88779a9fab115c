#pragma once

#include <array>
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

// Whether `byte` continues a character rather than starting one.
constexpr bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

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

// The length of the valid UTF-8 character that starts at `bytes`, of which `available` (at
// least 1) may be read; 0 when none starts there: a stray continuation or impossible lead byte,
// a missing or wrong continuation byte, an overlong form, a surrogate or a code point beyond
// U+10FFFF. The one definition of valid UTF-8 that the places reporting where it fails share.
constexpr std::size_t valid_sequence_length(const unsigned char* bytes, std::size_t available) {
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;   // overlong
    if (lead == 0xED) second_high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;   // overlong
    if (lead == 0xF4) second_high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (available < length) return 0;
  if (bytes[1] < second_low || bytes[1] > second_high) return 0;
  for (std::size_t index = 2; index < length; ++index) {
    if (!is_continuation(bytes[index])) return 0;
  }
  return length;
}

// Whether `text` is valid UTF-8 (the same rule, checked many bytes at a time).
bool is_valid(std::string_view text);

// The offset of the first byte of `text` that does not begin a valid character, or text.size().
std::size_t first_invalid(std::string_view text);

// The UTF-8 form of a code point that is a Unicode scalar value.
struct EncodedCharacter {
  std::array<char, 4> bytes{};
  std::size_t length = 0;

  constexpr std::string_view view() const { return std::string_view(bytes.data(), length); }
  constexpr unsigned char lead() const { return static_cast<unsigned char>(bytes[0]); }
};

constexpr EncodedCharacter encode(char32_t code_point) {
  EncodedCharacter encoded;
  const auto put = [&](std::uint32_t byte) { encoded.bytes[encoded.length++] = static_cast<char>(byte); };
  const auto value = static_cast<std::uint32_t>(code_point);
  if (value < 0x80) {
    put(value);
  } else if (value < 0x800) {
    put(0xC0 | (value >> 6));
    put(0x80 | (value & 0x3F));
  } else if (value < 0x10000) {
    put(0xE0 | (value >> 12));
    put(0x80 | ((value >> 6) & 0x3F));
    put(0x80 | (value & 0x3F));
  } else {
    put(0xF0 | (value >> 18));
    put(0x80 | ((value >> 12) & 0x3F));
    put(0x80 | ((value >> 6) & 0x3F));
    put(0x80 | (value & 0x3F));
  }
  return encoded;
}

}  // namespace wrenmark::utf8
