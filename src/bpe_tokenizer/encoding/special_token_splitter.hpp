#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wrenmark {

// Cuts a text around special tokens. At every character the tokens are tried in list order and
// the first that starts there wins, even when a later one is longer. Empty tokens never match.
class SpecialTokenSplitter {
 public:
  explicit SpecialTokenSplitter(const std::vector<std::string>& special_tokens);

  bool empty() const { return tokens_.empty(); }

  // Calls `on_segment(std::string_view)` for the text before every match (also when it is
  // empty) and for the rest after the last match when that is not empty, and
  // `on_match(std::string_view token)` for every match, all in text order.
  template <typename OnSegment, typename OnMatch>
  void split(std::string_view text, OnSegment&& on_segment, OnMatch&& on_match) const;

 private:
  // Index of the first token of the list that starts at `position`, or kNoMatch.
  std::size_t match_at(std::string_view text, std::size_t position) const;

  static constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

  std::vector<std::string> tokens_;
  std::array<bool, 256> starts_a_token_{};
  // For every first byte, the indices of the tokens that start with it, in list order. A valid
  // UTF-8 token never starts with a continuation byte, so trying every byte position finds
  // exactly the matches that trying every character position would.
  std::array<std::vector<std::uint32_t>, 256> candidates_by_first_byte_;
};

template <typename OnSegment, typename OnMatch>
void SpecialTokenSplitter::split(std::string_view text, OnSegment&& on_segment, OnMatch&& on_match) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t segment_start = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    if (!starts_a_token_[bytes[position]]) {
      ++position;
      continue;
    }
    const std::size_t match = match_at(text, position);
    if (match == kNoMatch) {
      ++position;
      continue;
    }
    on_segment(text.substr(segment_start, position - segment_start));
    on_match(std::string_view(tokens_[match]));
    position += tokens_[match].size();
    segment_start = position;
  }
  if (segment_start < text.size()) on_segment(text.substr(segment_start));
}

}  // namespace wrenmark
