#pragma once

#include <string>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"

namespace wrenmark {

// Reads the whole file at `path` as UTF-8 text. Failures carry the text
// "Error reading file: {reason}", the reason being "{description} (os error {code})" for an
// operating-system failure or "stream did not contain valid UTF-8".
Result<std::string> read_corpus(std::string_view path);

}  // namespace wrenmark
