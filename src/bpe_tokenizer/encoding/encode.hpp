#pragma once

#include <optional>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_result.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

// Turns `text` into tokens with a trained tokenizer: the text is cut around the special tokens,
// every plain piece is split into words as training split the corpus, every word is spelled as
// its characters and "</w>" and merged by the learnt merges, and every token is typed.
// A character without a one-character token becomes the unknown token when the tokenizer has
// one, and fails the call otherwise.
Result<Encoding> encode(const BpeTokenizer& tokenizer, std::string_view text);

// What every encoding with one tokenizer reads, looked up once. Nothing in it changes while it
// is used, so any number of threads may encode with it at once, each with its own WordCache.
struct EncodingSetup {
  const BpeTokenizer& tokenizer;
  const EncodingTables& tables;
  TokenId end_of_word_id;
  // The id standing for characters that have no token, when an unknown token is set.
  std::optional<TokenId> unknown_id;
};

// Builds the tokenizer's derived tables on first use, so it must not run on two threads at once
// for the same tokenizer; what it returns may then be shared.
Result<EncodingSetup> prepare_encoding(const BpeTokenizer& tokenizer);

// `encode` with a prepared setup and the caller's word cache.
Result<Encoding> encode_with(const EncodingSetup& setup, std::string_view text, WordCache& word_cache);

}  // namespace wrenmark
