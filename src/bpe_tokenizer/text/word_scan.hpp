#pragma once

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/text/byte_classes.hpp"

namespace wrenmark {

namespace detail {

// The candidates below are a superset of the boundaries only while these hold.
static_assert(all_within(kPunctuationCharacters, 0x21, 0x7E));
static_assert([] {
  for (std::size_t byte = 0x21; byte < 0x80; ++byte) {
    if (kByteClasses[byte] == ByteClass::Space) return false;
  }
  return true;
}());

// Bit i set when byte i of the 16 at `bytes` may end a word: ASCII white space and the control
// bytes below it, the first bytes of the multi-byte white-space characters, and, when splitting
// punctuation, ASCII punctuation. Exact classification of the few candidates follows.
inline std::uint32_t boundary_candidates(const unsigned char* bytes, bool split_punctuation) {
  const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
  const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(chunk, _mm_set1_epi8(0x20)), chunk);
  __m128i candidates = low;
  for (const unsigned char lead : kMultibyteSpaceLeads) {
    candidates = _mm_or_si128(candidates, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(lead))));
  }
  if (split_punctuation) {
    // Printable ASCII that is not a letter or digit: 0x21..0x7E minus the three alphanumeric ranges.
    const auto in_range = [&](char first, char last) {
      const __m128i shifted = _mm_sub_epi8(chunk, _mm_set1_epi8(first));
      return _mm_cmpeq_epi8(_mm_subs_epu8(shifted, _mm_set1_epi8(static_cast<char>(last - first))),
                            _mm_setzero_si128());
    };
    const __m128i printable = in_range(0x21, 0x7E);
    const __m128i alphanumeric = _mm_or_si128(in_range('0', '9'), _mm_or_si128(in_range('A', 'Z'), in_range('a', 'z')));
    candidates = _mm_or_si128(candidates, _mm_andnot_si128(alphanumeric, printable));
  }
  return static_cast<std::uint32_t>(_mm_movemask_epi8(candidates));
}

}  // namespace detail

// Splits valid UTF-8 `text` into words and calls `on_word(std::string_view word)` for each, in
// text order. Words are the maximal runs of non-white-space characters; with Punctuation, every
// ASCII punctuation character is also a word of its own and ends the run before it. The words
// are found sixteen bytes at a time: most bytes of a text are word bytes, and one vector
// comparison clears sixteen of them.
template <typename OnWord>
void scan_words(std::string_view text, PreTokenization mode, OnWord&& on_word) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  const bool split_punctuation = mode == PreTokenization::Punctuation;
  std::size_t word_start = 0;
  // Ends the current word at `position` when the character there separates words.
  auto handle = [&](std::size_t position) {
    switch (detail::kByteClasses[bytes[position]]) {
      case detail::ByteClass::Word: return;
      case detail::ByteClass::Space:
        if (position > word_start) on_word(text.substr(word_start, position - word_start));
        word_start = position + 1;
        return;
      case detail::ByteClass::Punctuation:
        if (!split_punctuation) return;
        if (position > word_start) on_word(text.substr(word_start, position - word_start));
        on_word(text.substr(position, 1));
        word_start = position + 1;
        return;
      case detail::ByteClass::MaybeSpaceLead: {
        const std::size_t space_length = detail::multibyte_space_length(bytes + position);
        if (space_length == 0) return;
        if (position > word_start) on_word(text.substr(word_start, position - word_start));
        word_start = position + space_length;
        return;
      }
    }
  };

  // Bit i of `candidates` stands for the byte at `base + i`.
  auto handle_candidates = [&](std::size_t base, std::uint32_t candidates) {
    while (candidates != 0) {
      handle(base + static_cast<std::size_t>(__builtin_ctz(candidates)));
      candidates &= candidates - 1;
    }
  };

  // The continuation bytes of a multi-byte separator are never candidates, so every candidate
  // is the first byte of a character.
  std::size_t position = 0;
  for (; position + 16 <= size; position += 16) {
    handle_candidates(position, detail::boundary_candidates(bytes + position, split_punctuation));
  }
  // The last bytes, fewer than sixteen, take one more comparison instead of a test per byte: the
  // sixteen bytes that end the text when it has that many (those before `position` masked off),
  // else a copy padded with a word byte, which is never a candidate.
  if (position < size) {
    const std::size_t rest = size - position;
    std::uint32_t mask = 0;
    if (size >= 16) {
      mask = detail::boundary_candidates(bytes + size - 16, split_punctuation) >> (16 - rest);
    } else {
      unsigned char padded[16];
      std::memset(padded, 'a', sizeof padded);
      std::memcpy(padded, bytes + position, rest);
      mask = detail::boundary_candidates(padded, split_punctuation) & ((std::uint32_t{1} << rest) - 1);
    }
    handle_candidates(position, mask);
  }
  if (size > word_start) on_word(text.substr(word_start, size - word_start));
}

}  // namespace wrenmark
