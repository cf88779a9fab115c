#pragma once

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Writes the trained model into the record's output directory as the five model files:
// config.json, token_table.json, merge_rules.json, save_ranks.json, pairs_to_merge.json.
// Does nothing when save_model is false. Missing parent directories are created and other files
// in the directory are left alone. Each file is built in memory, written to a temporary file
// beside it and renamed into place, so a failed save never leaves a truncated model file where
// a complete one stood. The record is not changed, whatever happens.
Status write_model_directory(const BpeTokenizer& tokenizer);

}  // namespace wrenmark
