#include "bpe_tokenizer/training/merging/merge_driver.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/byte_tokens.hpp"

#include "bpe_tokenizer/io/training_report.hpp"

namespace wrenmark {

namespace {

// Compatibility: the trailing blank and the missing line end stay (docs/architecture.md).
constexpr std::string_view kOutOfPairsMessage = "targeted vocab size not reached as no more pairs to merge ";

}  // namespace

void report_out_of_pairs() { training_report::print(kOutOfPairsMessage); }

bool joins_into_byte_token(const TokenTable& table, Pair pair) {
  const auto first = table.token_by_id(pair.first);
  const auto second = table.token_by_id(pair.second);
  if (!first || !second || first->size() + second->size() != kByteTokenText) return false;
  std::string joined(*first);
  joined.append(*second);
  return byte_of_token_text(joined).has_value();
}

std::uint64_t joined_token_length(const TokenTable& table, Pair pair) {
  const std::string_view first = table.token_by_id(pair.first).value_or("");
  const std::string_view second = table.token_by_id(pair.second).value_or("");
  std::uint64_t characters = 0;
  for (const std::string_view text : {first, second}) {
    for (const char byte : text) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  }
  // The marker may only end the joined text; its bytes are ASCII, so it can straddle the two
  // texts only at a character boundary.
  const std::size_t marker = kEndOfWord.size();
  const std::size_t tail = std::min(marker, second.size());
  const bool ends_with_marker = second.substr(second.size() - tail) == kEndOfWord.substr(marker - tail) &&
                                (tail == marker || first.ends_with(kEndOfWord.substr(0, marker - tail)));
  return ends_with_marker ? characters - marker : characters;
}

}  // namespace wrenmark
