#pragma once

#include <string>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// The byte form of a whole tokenizer, every setting and the model itself, with which pickling
// carries a tokenizer to another process. All integers are little-endian.
//
//   "WMTK"          magic
//   u32 version     1
//   u32 file count  1 before training (config.json alone), else 5 (the model files)
//   u64 size, then settings.json: the fields of kProcessSettings (core/settings.hpp) as one
//                   JSON object, an absent output_dir left out
//   per model file, in kModelFiles order: u64 size, then the bytes that saving writes
//   u64 checksum    of every byte before it
//
// The files are the saved model's, so equal tokenizers give equal bytes. Reading checks the
// layout and the checksum, then reads every file as loading does (a member of settings.json
// that is missing keeps its default, one it does not know is skipped); any fault is an error,
// and nothing outside the given bytes is read.
std::string serialize_tokenizer_state(const BpeTokenizer& tokenizer);
Result<BpeTokenizer> parse_tokenizer_state(std::string_view bytes);

}  // namespace wrenmark
