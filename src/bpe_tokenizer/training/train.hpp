#pragma once

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Trains an untrained tokenizer on its corpus file: removes the special tokens, builds the
// alphabet and the word table, learns merges up to the target vocabulary size, and marks the
// tokenizer trained, then writes the model directory when the settings ask for it. Prints one
// timing line per phase on standard output, and its progress on standard error when the
// settings ask for it.
//
// The model is built aside and put into the tokenizer only once training is complete, so a
// tokenizer that is already trained, a corpus that cannot be read, and a stop asked for through
// `cancellation` (a Cancelled error) all leave the tokenizer as it was, untrained and trainable;
// a failed save leaves it trained.
Status train(BpeTokenizer& tokenizer, Cancellation& cancellation);
Status train(BpeTokenizer& tokenizer);

}  // namespace wrenmark
