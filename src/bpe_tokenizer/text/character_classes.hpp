#pragma once

#include <array>
#include <cstddef>

namespace wrenmark {

// The code points `first` to `last`, both included.
struct CodePointRange {
  char32_t first;
  char32_t last;
};

// The characters that separate words, in code point order: ASCII white space (tab, line feed,
// vertical tab, form feed, carriage return, blank) and the other Unicode White_Space
// characters: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Every other table of white space (the scanner's byte classes, the safe cuts of a corpus, the
// export's regular expressions) is derived from this one or checked against it.
inline constexpr std::array<CodePointRange, 10> kWhiteSpaceCharacters = {{
    {0x09, 0x0D},
    {0x20, 0x20},
    {0x85, 0x85},
    {0xA0, 0xA0},
    {0x1680, 0x1680},
    {0x2000, 0x200A},
    {0x2028, 0x2029},
    {0x202F, 0x202F},
    {0x205F, 0x205F},
    {0x3000, 0x3000},
}};

// The characters that Punctuation pre-tokenization makes words of their own: the printable
// ASCII characters that are neither letters nor digits.
inline constexpr std::array<CodePointRange, 4> kPunctuationCharacters = {{
    {0x21, 0x2F},
    {0x3A, 0x40},
    {0x5B, 0x60},
    {0x7B, 0x7E},
}};

template <std::size_t Count>
constexpr bool in_ranges(const std::array<CodePointRange, Count>& ranges, char32_t code_point) {
  for (const CodePointRange& range : ranges) {
    if (code_point >= range.first && code_point <= range.last) return true;
  }
  return false;
}

constexpr bool is_white_space(char32_t code_point) { return in_ranges(kWhiteSpaceCharacters, code_point); }
constexpr bool is_punctuation(char32_t code_point) { return in_ranges(kPunctuationCharacters, code_point); }

// Calls `on_code_point(char32_t)` for every code point of `ranges`, in order.
template <std::size_t Count, typename OnCodePoint>
constexpr void for_each_code_point(const std::array<CodePointRange, Count>& ranges, OnCodePoint&& on_code_point) {
  for (const CodePointRange& range : ranges) {
    for (char32_t code_point = range.first; code_point <= range.last; ++code_point) on_code_point(code_point);
  }
}

}  // namespace wrenmark
