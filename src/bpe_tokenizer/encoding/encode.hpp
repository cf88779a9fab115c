#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/dropout_merger.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/packed_encoding.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

// What one call encodes with beyond the tables: what a character without a token becomes, and
// the dropout of merges.
struct EncodeOptions {
  // Stands for every character that has no token.
  std::optional<TokenId> unknown_id;
  // A character without a token becomes the byte tokens of its UTF-8 bytes.
  bool byte_fallback = false;
  // Probability 0: the learnt merges as they are, through the word cache.
  DropoutDraws dropout;
};

// The options of the tokenizer's settings, with a fresh dropout seed when it has none.
EncodeOptions encode_options(const BpeTokenizer& tokenizer, const EncodingTables& tables);

// Turns `text` into tokens with a trained tokenizer: the text is cut around the special tokens,
// every plain piece is split into words as training split the corpus, every word is spelled as
// its characters and "</w>" and merged by the learnt merges, and every token is typed.
// The encoding is left in buffers of the calling thread and stays valid until the thread's next
// encode: callers pack it where it is to live.
// `word_cache` says which of the prepared encoding's word caches the call uses: a leased one, or,
// for a caller that holds the lock all such callers hold, PreparedEncoding::lock_holders_cache.
enum class WordCacheUse : std::uint8_t { Lease, LockHolders };
Result<const EncodingBuilder*> encode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::string_view text,
                                      WordCacheUse word_cache = WordCacheUse::Lease);

// The same with tables already derived. `word_cache` is the caller's and holds words of these
// tables only; callers that encode at the same time share the tables but not a word cache.
Result<const EncodingBuilder*> encode(const EncodingTables& tables, WordCache& word_cache, std::string_view text,
                                      const EncodeOptions& options = {});

// The id of the tokenizer's unknown token, when one is set and the vocabulary has it. A character
// without a token becomes this id, as a symbol of its own, instead of failing the encoding.
std::optional<TokenId> unknown_token_id(const BpeTokenizer& tokenizer, const EncodingTables& tables);

}  // namespace wrenmark
