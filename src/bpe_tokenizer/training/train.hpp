#pragma once

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Trains an untrained tokenizer on its corpus file: removes the special tokens, builds the
// alphabet and the word table, learns merges up to the target vocabulary size, gives the
// tokenizer the model it learnt, then writes the model directory when the settings ask for it.
// Prints one timing line per phase on standard output.
//
// A tokenizer that is already trained, or any failure before the model is complete, yields an
// error and leaves the tokenizer as it was; a failed save leaves it trained.
Status train(BpeTokenizer& tokenizer);

}  // namespace wrenmark
