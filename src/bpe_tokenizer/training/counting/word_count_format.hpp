#pragma once

#include <string>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"

namespace wrenmark {

// The byte form of a WordCountTable, which crosses process and machine boundaries when blocks
// are counted elsewhere. All integers are little-endian; "varint" is unsigned LEB128.
//
//   "WMWC"                       magic
//   u32  version                 1
//   u64  word count
//   u64  removal_ns, counting_ns work time of the blocks behind the table
//   per word: varint size (>= 1), size bytes of UTF-8, varint count (>= 1),
//             varint origin, varint offset
//   u64  checksum                of every byte before it
//
// Reading checks every field, the UTF-8 of every word and the checksum, and refuses anything
// else with an error; it never reads outside the given bytes.
std::string serialize_word_counts(const WordCountTable& table);
Result<WordCountTable> parse_word_counts(std::string_view bytes);

}  // namespace wrenmark
