#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Both write the five model files (config.json, token_table.json, merge_rules.json,
// save_ranks.json, pairs_to_merge.json) into a directory. Missing parent directories are created
// and other files in the directory are left alone. Each file is built in memory, written to a
// temporary file beside it and renamed into place, so a failed save never leaves a truncated
// model file where a complete one stood. The tokenizer is not changed, whatever happens.

// The end of training: writes into the settings' output directory when save_model is set, and
// does nothing otherwise.
Status save_model_if_requested(const BpeTokenizer& tokenizer);

// An explicit save of a trained or loaded tokenizer into `output_dir`, whatever the settings say;
// an untrained tokenizer is refused with "Cannot save an untrained tokenizer".
Status save_model_to(const BpeTokenizer& tokenizer, std::string_view output_dir);

}  // namespace wrenmark
