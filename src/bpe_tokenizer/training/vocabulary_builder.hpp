#pragma once

#include <string_view>

#include "core/result.hpp"
#include "core/settings.hpp"
#include "core/token_table.hpp"
#include "training/training_monitor.hpp"
#include "training/word_table.hpp"

namespace wrenmark {

// Splits `text` into words, gives every character a token id in order of first occurrence, adds
// "</w>", and returns the distinct words with their counts as symbol sequences (characters then
// "</w>"), in order of first occurrence. The monitor is told of the bytes counted; a stop asked
// for through it yields a Cancelled error.
Result<WordTable> build_vocabulary(std::string_view text, PreTokenization mode, TokenTable& token_table,
                                   TrainingMonitor& monitor);

}  // namespace wrenmark
