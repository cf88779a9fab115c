#include "bpe_tokenizer/persistence/pair_key_text.hpp"

#include <charconv>
#include <cstdint>

namespace wrenmark {

namespace {

std::optional<TokenId> parse_id(std::string_view part) {
  if (!part.empty() && part.front() == '+') part.remove_prefix(1);
  if (part.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char digit : part) {
    if (digit < '0' || digit > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<TokenId>(value);
}

}  // namespace

std::string format_pair_key(Pair pair) {
  char text[24];  // two ids of at most 10 digits and the underscore
  char* const underscore = std::to_chars(text, text + 10, pair.first).ptr;
  *underscore = '_';
  char* const end = std::to_chars(underscore + 1, text + sizeof text, pair.second).ptr;
  return std::string(text, end);
}

std::optional<Pair> parse_pair_key(std::string_view key) {
  const std::size_t first_split = key.find('_');
  if (first_split == std::string_view::npos) return std::nullopt;
  const std::string_view rest = key.substr(first_split + 1);
  const auto first = parse_id(key.substr(0, first_split));
  const auto second = parse_id(rest.substr(0, rest.find('_')));
  if (!first || !second) return std::nullopt;
  return Pair{*first, *second};
}

}  // namespace wrenmark
