#include "bpe_tokenizer/training/counting/block_cuts.hpp"

#include <algorithm>
#include <cstring>

namespace wrenmark {

namespace {

constexpr std::string_view kAsciiWhiteSpace = "\t\n\v\f\r ";
// The other white-space characters in UTF-8: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000.
const std::vector<std::string>& multibyte_white_space() {
  static const std::vector<std::string> sequences = [] {
    std::vector<std::string> result = {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80"};
    for (unsigned char third = 0x80; third <= 0x8A; ++third) result.push_back(std::string("\xE2\x80") + char(third));
    for (const char* sequence : {"\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"}) {
      result.emplace_back(sequence);
    }
    return result;
  }();
  return sequences;
}

bool any_token_contains(const std::vector<std::string>& tokens, std::string_view piece) {
  return std::any_of(tokens.begin(), tokens.end(),
                     [&](const std::string& token) { return token.find(piece) != std::string::npos; });
}

// Quiet cuts are looked for in stretches of this many candidate positions, so that a cut found
// early costs a search of its neighbourhood only.
constexpr std::size_t kQuietStretch = 1 << 16;

}  // namespace

BlockCuts::BlockCuts(const std::vector<std::string>& effective_tokens, SpecialTokenRemovalMethod method)
    : tokens_(effective_tokens) {
  for (const char byte : kAsciiWhiteSpace) {
    const bool separator = !any_token_contains(tokens_, std::string_view(&byte, 1));
    separator_byte_[static_cast<unsigned char>(byte)] = separator;
    has_separator_ |= separator;
  }
  for (const std::string& sequence : multibyte_white_space()) {
    if (!any_token_contains(tokens_, sequence)) separator_sequences_.push_back(sequence);
  }
  has_separator_ |= !separator_sequences_.empty();
  if (has_separator_) {
    margin_ = 3;
    return;
  }
  std::size_t longest = 0;
  for (const std::string& token : tokens_) {
    longest = std::max(longest, token.size());
    if (method == SpecialTokenRemovalMethod::Simple) zone_radius_ += token.size() - 1;
  }
  margin_ = zone_radius_ + longest;
}

std::optional<std::size_t> BlockCuts::first_cut(std::string_view text, std::size_t from, bool text_is_final) const {
  from = std::max<std::size_t>(from, 1);
  if (!text_is_final && text.size() < margin_) return std::nullopt;
  const std::size_t last = text_is_final ? text.size() : text.size() - margin_;
  if (from > last) return std::nullopt;
  if (has_separator_) return first_separator_cut(text, from, last);
  return first_quiet_cut(text, from, last);
}

std::optional<std::size_t> BlockCuts::first_separator_cut(std::string_view text, std::size_t from,
                                                          std::size_t last) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  // A cut at p needs the separator to end at p - 1: an ASCII one at p - 1, a multi-byte one
  // starting at p - 2 or p - 3.
  std::size_t position = from >= 3 ? from - 3 : 0;
  for (; position < last; ++position) {
    const unsigned char byte = bytes[position];
    if (byte < 0x80) {
      if (separator_byte_[byte] && position + 1 >= from) return position + 1;
      continue;
    }
    if (byte != 0xC2 && byte != 0xE1 && byte != 0xE2 && byte != 0xE3) continue;
    for (const std::string& sequence : separator_sequences_) {
      const std::size_t end = position + sequence.size();
      if (end >= from && end <= last && std::memcmp(bytes + position, sequence.data(), sequence.size()) == 0) {
        return end;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> BlockCuts::first_quiet_cut(std::string_view text, std::size_t from, std::size_t last) const {
  const std::size_t reach = margin_;
  std::vector<int> coverage;
  for (std::size_t stretch_begin = from; stretch_begin <= last; stretch_begin += kQuietStretch) {
    const std::size_t stretch_end = std::min(last, stretch_begin + kQuietStretch - 1);
    // Occurrences that could come within the zone of a candidate in this stretch.
    const std::size_t region_begin = stretch_begin - 1 > reach ? stretch_begin - 1 - reach : 0;
    const std::size_t region_end = std::min(text.size(), stretch_end + reach);
    const std::string_view region = text.substr(region_begin, region_end - region_begin);
    coverage.assign(region.size() + 1, 0);
    for (const std::string& token : tokens_) {
      for (std::size_t found = region.find(token); found != std::string_view::npos;
           found = region.find(token, found + 1)) {
        ++coverage[found];
        --coverage[found + token.size()];
      }
    }
    // covered_before[i]: how many of region's first i bytes lie inside some occurrence.
    std::vector<std::size_t> covered_before(region.size() + 1, 0);
    int depth = 0;
    for (std::size_t index = 0; index < region.size(); ++index) {
      depth += coverage[index];
      covered_before[index + 1] = covered_before[index] + (depth > 0 ? 1 : 0);
    }
    for (std::size_t cut = stretch_begin; cut <= stretch_end; ++cut) {
      if (kAsciiWhiteSpace.find(text[cut - 1]) == std::string_view::npos) continue;
      const std::size_t zone_begin = (cut - 1 > zone_radius_ ? cut - 1 - zone_radius_ : 0) - region_begin;
      const std::size_t zone_end = std::min(text.size(), cut + zone_radius_) - region_begin;
      if (covered_before[zone_end] == covered_before[zone_begin]) return cut;
    }
  }
  return std::nullopt;
}

}  // namespace wrenmark
