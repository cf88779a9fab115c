#include "bpe_tokenizer/training/merging/merge_driver.hpp"

#include <string_view>

#include "bpe_tokenizer/io/training_report.hpp"

namespace wrenmark {

namespace {

// Compatibility: the trailing blank and the missing line end stay (docs/architecture.md).
constexpr std::string_view kOutOfPairsMessage = "targeted vocab size not reached as no more pairs to merge ";

}  // namespace

void report_out_of_pairs() { training_report::print(kOutOfPairsMessage); }

}  // namespace wrenmark
