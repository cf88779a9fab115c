#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

namespace detail {

enum class ByteClass : unsigned char {
  Word,            // part of a word (ASCII letters, digits, continuation and most lead bytes)
  Space,           // ASCII white space
  Punctuation,     // ASCII punctuation
  MaybeSpaceLead,  // first byte of a multi-byte character that may be white space
};

constexpr std::array<ByteClass, 256> make_byte_classes() {
  std::array<ByteClass, 256> classes{};
  for (auto& byte_class : classes) byte_class = ByteClass::Word;
  for (int byte = 0x09; byte <= 0x0D; ++byte) classes[byte] = ByteClass::Space;
  classes[0x20] = ByteClass::Space;
  for (int byte = 0x21; byte <= 0x2F; ++byte) classes[byte] = ByteClass::Punctuation;
  for (int byte = 0x3A; byte <= 0x40; ++byte) classes[byte] = ByteClass::Punctuation;
  for (int byte = 0x5B; byte <= 0x60; ++byte) classes[byte] = ByteClass::Punctuation;
  for (int byte = 0x7B; byte <= 0x7E; ++byte) classes[byte] = ByteClass::Punctuation;
  classes[0xC2] = ByteClass::MaybeSpaceLead;
  classes[0xE1] = ByteClass::MaybeSpaceLead;
  classes[0xE2] = ByteClass::MaybeSpaceLead;
  classes[0xE3] = ByteClass::MaybeSpaceLead;
  return classes;
}

inline constexpr std::array<ByteClass, 256> kByteClasses = make_byte_classes();

// Byte length of the non-ASCII white-space character at `bytes`, or 0 when it is another
// character. `bytes` points at a MaybeSpaceLead byte of valid UTF-8.
constexpr std::size_t multibyte_space_length(const unsigned char* bytes) {
  switch (bytes[0]) {
    case 0xC2:  // U+0085, U+00A0
      return (bytes[1] == 0x85 || bytes[1] == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return (bytes[1] == 0x9A && bytes[2] == 0x80) ? 3 : 0;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      if (bytes[1] == 0x80) {
        const unsigned char third = bytes[2];
        return (third <= 0x8A || third == 0xA8 || third == 0xA9 || third == 0xAF) ? 3 : 0;
      }
      return (bytes[1] == 0x81 && bytes[2] == 0x9F) ? 3 : 0;
    case 0xE3:  // U+3000
      return (bytes[1] == 0x80 && bytes[2] == 0x80) ? 3 : 0;
    default: return 0;
  }
}

}  // namespace detail

}  // namespace wrenmark
