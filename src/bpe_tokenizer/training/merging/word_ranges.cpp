#include "bpe_tokenizer/training/merging/word_ranges.hpp"

#include <algorithm>
#include <cstdint>

namespace wrenmark {

namespace {

constexpr std::size_t kMaxRanges = 4;
constexpr std::uint64_t kMinPlacesPerRange = std::uint64_t{1} << 15;

// The first word at or after `from` that starts at `place` or later.
std::size_t first_word_from(const WordTable& words, std::size_t from, Place place) {
  std::size_t low = from;
  std::size_t high = words.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (words.place(middle, 0) < place) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

}  // namespace

std::vector<WordRange> split_into_word_ranges(const WordTable& words) {
  const std::uint64_t places = words.place_count();
  std::vector<WordRange> ranges(std::clamp<std::uint64_t>(places / kMinPlacesPerRange, 1, kMaxRanges));
  const auto start_of = [&](std::size_t word) { return word < words.size() ? words.place(word, 0) : places; };
  std::size_t word = 0;
  for (std::size_t index = 0; index < ranges.size(); ++index) {
    WordRange& range = ranges[index];
    range.first_word = word;
    const bool last = index + 1 == ranges.size();
    word = last ? words.size() : first_word_from(words, word, places / ranges.size() * (index + 1));
    range.end_word = word;
    range.first_place = start_of(range.first_word);
    range.end_place = start_of(range.end_word);
  }
  return ranges;
}

}  // namespace wrenmark
