#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

class PreparedEncoding;

// A word cache lent to one call (or one worker thread of a call) and given back when the lease
// ends, so that it stays warm for the next call. Nobody else uses it meanwhile.
class WordCacheLease {
 public:
  WordCacheLease() = default;
  WordCacheLease(WordCacheLease&& other) noexcept;
  WordCacheLease& operator=(WordCacheLease&& other) noexcept;
  ~WordCacheLease();

  explicit operator bool() const { return cache_ != nullptr; }
  WordCache& operator*() const { return *cache_; }

 private:
  friend class PreparedEncoding;
  void give_back() noexcept;

  PreparedEncoding* owner_ = nullptr;
  WordCache* cache_ = nullptr;
  // Set for a cache of the pool; the primary cache is owned by PreparedEncoding itself.
  std::unique_ptr<WordCache> pooled_;
};

// The tables derived from one model and the word caches that hold words encoded with them. The
// tables never change; the caches are lent out one call at a time. Every member is safe to use
// from several threads at once, but lock_holders_cache, which its callers' own lock guards.
class PreparedEncoding {
 public:
  PreparedEncoding(std::shared_ptr<const Model> model, const TokenizerSettings& settings);
  PreparedEncoding(const PreparedEncoding&) = delete;
  PreparedEncoding& operator=(const PreparedEncoding&) = delete;

  const EncodingTables& tables() const { return tables_; }

  // A word cache of these tables for the caller alone: the primary one when it is free (calls
  // made one after another all get it, for the price of two atomic operations), else one of the
  // pool, made when the pool is empty.
  WordCacheLease lease_word_cache();

  // The word cache of callers that all hold one lock outside for the whole call (the binding's
  // single-text encode, under the interpreter lock): that lock keeps them to one at a time, so
  // they take it without a lease, whose atomic exchange, draining the stores of the previous
  // encoding, costs as much as a short text's word lookups. Anyone else leases.
  WordCache& lock_holders_cache() { return lock_holders_cache_; }

 private:
  friend class WordCacheLease;
  void give_back(std::unique_ptr<WordCache> cache) noexcept;

  const EncodingTables tables_;
  // A flag rather than a mutex: a lease may end on another thread than the one that took it.
  std::atomic_flag primary_in_use_;
  WordCache primary_;
  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<WordCache>> pool_;
  WordCache lock_holders_cache_;
};

// What encoding keeps between the calls on one tokenizer: the prepared tables, built on first
// use. Any number of threads may call it at once, on the first call too: one thread builds the
// tables while the others wait, and a set once handed out is never changed, cleared or freed
// while the cache lives, so calls that overlap never see it replaced under them.
class EncodingCache {
 public:
  // Made and destroyed out of line, so that only the core instantiates the hash tables inside.
  EncodingCache();
  ~EncodingCache();
  EncodingCache(const EncodingCache&) = delete;
  EncodingCache& operator=(const EncodingCache&) = delete;

  // The prepared tables of trained `tokenizer`, valid for the cache's lifetime. Built again when
  // its model is not the one they were built from; the earlier set stays for whoever still reads
  // it (a tokenizer's model is set once, so that is at most one set more per model it had).
  PreparedEncoding& prepare(const BpeTokenizer& tokenizer) {
    PreparedEncoding* current = current_.load(std::memory_order_acquire);
    if (current != nullptr && &current->tables().model() == tokenizer.model.get()) return *current;
    return build(tokenizer);
  }
  const EncodingTables& tables(const BpeTokenizer& tokenizer) { return prepare(tokenizer).tables(); }

 private:
  PreparedEncoding& build(const BpeTokenizer& tokenizer);

  std::atomic<PreparedEncoding*> current_{nullptr};
  std::mutex build_mutex_;
  std::vector<std::unique_ptr<PreparedEncoding>> built_;
};

}  // namespace wrenmark
