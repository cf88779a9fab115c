#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// The text form of a pair in the model files: "{first}_{second}" in plain decimal.
std::string format_pair_key(Pair pair);

// Reads a pair key back. The key is split at every "_"; the first two parts must each be an
// unsigned 32-bit decimal number (one or more ASCII digits, an optional single leading "+",
// leading zeros allowed) and any further parts are ignored. Nothing when the key does not fit.
std::optional<Pair> parse_pair_key(std::string_view key);

}  // namespace wrenmark
