#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Loads a model directory written by model_writer.hpp (or by hand, in any JSON layout that has
// the same shapes) into a new trained tokenizer. The directory and the presence of all five
// files are checked first, then the files are read one by one: config.json, token_table.json,
// merge_rules.json, save_ranks.json, pairs_to_merge.json; the first fault stops the load.
// Nothing is cross-checked between the files: a model that disagrees with itself loads as it is.
Result<BpeTokenizer> load_model_directory(std::string_view files_path);

}  // namespace wrenmark
