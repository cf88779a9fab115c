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
//   u64 size, then settings.json: the fields of kProcessSettings (core/settings.hpp) as one
//                   JSON object, an absent output_dir left out
//   u64 size, then config.json as saving writes it: the settings that a model keeps
//   u8  1 when trained, then u64 size and the model (model_bytes.hpp); else 0
//   u64 checksum    of every byte before it
//
// Equal tokenizers give equal bytes. Reading checks the layout and the checksum, then reads
// config.json as loading does (a member of settings.json that is missing keeps its default, one
// it does not know is skipped) and the model; any fault is an error, and nothing outside the
// given bytes is read.
std::string serialize_tokenizer_state(const BpeTokenizer& tokenizer);
Result<BpeTokenizer> parse_tokenizer_state(std::string_view bytes);

}  // namespace wrenmark
