#pragma once

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

// What encoding and decoding derive from a trained record and keep with it.
struct EncodingState {
  explicit EncodingState(const BpeTokenizer& tokenizer) : tables(tokenizer) {}

  const EncodingTables tables;
  WordCache word_cache;
};

// The state of a trained `tokenizer`, built on first use.
EncodingState& encoding_state(const BpeTokenizer& tokenizer);

}  // namespace wrenmark
