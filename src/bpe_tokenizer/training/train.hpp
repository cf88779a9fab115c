#pragma once

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Trains an untrained tokenizer on its corpus file: removes the special tokens, builds the
// alphabet and the word table, learns merges up to the target vocabulary size, and marks the
// tokenizer trained, then writes the model directory when the settings ask for it. Prints one
// timing line per phase on standard output.
//
// A tokenizer that is already trained, or a corpus that cannot be read, yields an error and
// leaves the tokenizer as it was; a failed save leaves it trained.
Status train(BpeTokenizer& tokenizer);

}  // namespace wrenmark
