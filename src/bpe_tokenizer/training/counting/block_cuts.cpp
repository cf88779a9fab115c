#include "bpe_tokenizer/training/counting/block_cuts.hpp"

#include <algorithm>
#include <cstring>

#include "bpe_tokenizer/text/byte_classes.hpp"
#include "bpe_tokenizer/text/character_classes.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

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
  for_each_code_point(kWhiteSpaceCharacters, [&](char32_t code_point) {
    const utf8::EncodedCharacter character = utf8::encode(code_point);
    const bool separator = !any_token_contains(tokens_, character.view());
    if (character.length == 1) {
      separator_byte_[character.lead()] = separator;
    } else if (separator) {
      separator_sequences_.emplace_back(character.view());
    }
    has_separator_ |= separator;
  });
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
    if (detail::kByteClasses[byte] != detail::ByteClass::MaybeSpaceLead) continue;
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
      if (detail::kByteClasses[static_cast<unsigned char>(text[cut - 1])] != detail::ByteClass::Space) continue;
      const std::size_t zone_begin = (cut - 1 > zone_radius_ ? cut - 1 - zone_radius_ : 0) - region_begin;
      const std::size_t zone_end = std::min(text.size(), cut + zone_radius_) - region_begin;
      if (covered_before[zone_end] == covered_before[zone_begin]) return cut;
    }
  }
  return std::nullopt;
}

}  // namespace wrenmark
