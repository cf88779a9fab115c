#pragma once

#include <memory>

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

// What encoding keeps between the calls on one tokenizer: the tables derived from its model,
// built on first use and shared read-only, and one word cache for calls made one at a time.
// Calls that run at the same time each need a word cache of their own; they can share the
// tables through shared_tables().
class EncodingCache {
 public:
  // Made and destroyed out of line, so that only the core instantiates the hash tables inside.
  EncodingCache();
  ~EncodingCache();
  EncodingCache(const EncodingCache&) = delete;
  EncodingCache& operator=(const EncodingCache&) = delete;

  // The tables for trained `tokenizer`, built again (and the word cache emptied) when its model
  // is not the one they were built from.
  const std::shared_ptr<const EncodingTables>& shared_tables(const BpeTokenizer& tokenizer);
  const EncodingTables& tables(const BpeTokenizer& tokenizer) { return *shared_tables(tokenizer); }

  // The word cache that goes with the tables last returned.
  WordCache& word_cache() { return word_cache_; }

 private:
  std::shared_ptr<const EncodingTables> tables_;
  WordCache word_cache_;
};

}  // namespace wrenmark
