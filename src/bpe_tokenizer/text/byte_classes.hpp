#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bpe_tokenizer/text/character_classes.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace detail {

// What a byte of UTF-8 text says about word boundaries, read off the character classes.
enum class ByteClass : unsigned char {
  Word,            // part of a word (ASCII letters, digits, continuation and most lead bytes)
  Space,           // ASCII white space
  Punctuation,     // ASCII punctuation
  MaybeSpaceLead,  // first byte of a multi-byte character that may be white space
};

template <std::size_t Count>
constexpr bool all_within(const std::array<CodePointRange, Count>& ranges, char32_t first, char32_t last) {
  for (const CodePointRange& range : ranges) {
    if (range.first < first || range.last > last) return false;
  }
  return true;
}

// A punctuation character is one byte, and a white-space one at most three: the tables below
// and the scanner rely on it.
static_assert(all_within(kPunctuationCharacters, 0x00, 0x7F));
static_assert(all_within(kWhiteSpaceCharacters, 0x00, 0xFFFF));

constexpr std::array<ByteClass, 256> make_byte_classes() {
  std::array<ByteClass, 256> classes{};
  for (auto& byte_class : classes) byte_class = ByteClass::Word;
  for_each_code_point(kPunctuationCharacters,
                      [&](char32_t code_point) { classes[code_point] = ByteClass::Punctuation; });
  for_each_code_point(kWhiteSpaceCharacters, [&](char32_t code_point) {
    const utf8::EncodedCharacter encoded = utf8::encode(code_point);
    classes[encoded.lead()] = encoded.length == 1 ? ByteClass::Space : ByteClass::MaybeSpaceLead;
  });
  return classes;
}

inline constexpr std::array<ByteClass, 256> kByteClasses = make_byte_classes();

constexpr std::size_t count_bytes_of_class(ByteClass wanted) {
  std::size_t count = 0;
  for (const ByteClass byte_class : kByteClasses) count += byte_class == wanted ? 1 : 0;
  return count;
}

// The MaybeSpaceLead bytes in increasing order.
inline constexpr auto kMultibyteSpaceLeads = [] {
  std::array<unsigned char, count_bytes_of_class(ByteClass::MaybeSpaceLead)> leads{};
  std::size_t next = 0;
  for (std::size_t byte = 0; byte < kByteClasses.size(); ++byte) {
    if (kByteClasses[byte] == ByteClass::MaybeSpaceLead) leads[next++] = static_cast<unsigned char>(byte);
  }
  return leads;
}();

// Bit (c mod 64) of word (c / 64): whether U+c, below U+10000, is white space of more than one
// byte. One load answers for any candidate, however many such characters there are.
inline constexpr auto kMultibyteSpaceBits = [] {
  std::array<std::uint64_t, 0x10000 / 64> bits{};
  for_each_code_point(kWhiteSpaceCharacters, [&](char32_t code_point) {
    if (code_point >= 0x80) bits[code_point / 64] |= std::uint64_t{1} << (code_point % 64);
  });
  return bits;
}();

// Byte length of the non-ASCII white-space character at `bytes`, or 0 when it is another
// character. `bytes` points at a MaybeSpaceLead byte of valid UTF-8, which starts a character
// of two or three bytes.
constexpr std::size_t multibyte_space_length(const unsigned char* bytes) {
  const unsigned char lead = bytes[0];
  std::uint32_t code_point = 0;
  std::size_t length = 0;
  if (lead < 0xE0) {
    code_point = (std::uint32_t(lead & 0x1F) << 6) | (bytes[1] & 0x3Fu);
    length = 2;
  } else {
    code_point = (std::uint32_t(lead & 0x0F) << 12) | (std::uint32_t(bytes[1] & 0x3F) << 6) | (bytes[2] & 0x3Fu);
    length = 3;
  }
  return ((kMultibyteSpaceBits[code_point / 64] >> (code_point % 64)) & 1) != 0 ? length : 0;
}

}  // namespace detail

}  // namespace wrenmark
