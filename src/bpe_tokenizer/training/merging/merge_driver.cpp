#include "bpe_tokenizer/training/merging/merge_driver.hpp"

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

}  // namespace wrenmark
