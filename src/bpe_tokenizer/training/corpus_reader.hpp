#pragma once

#include <string>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// Reads the whole file at `path` as UTF-8 text. Failures carry the text
// "Error reading file: {reason}", the reason being "{description} (os error {code})" for an
// operating-system failure or "stream did not contain valid UTF-8". Reading is the monitor's
// Reading phase, in bytes; a stop asked for through it yields a Cancelled error.
Result<std::string> read_corpus(std::string_view path, TrainingMonitor& monitor);

}  // namespace wrenmark
