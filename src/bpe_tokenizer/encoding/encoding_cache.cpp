#include "bpe_tokenizer/encoding/encoding_cache.hpp"

#include <new>
#include <utility>

namespace wrenmark {

WordCacheLease::WordCacheLease(WordCacheLease&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      cache_(std::exchange(other.cache_, nullptr)),
      pooled_(std::move(other.pooled_)) {}

WordCacheLease& WordCacheLease::operator=(WordCacheLease&& other) noexcept {
  if (this != &other) {
    give_back();
    owner_ = std::exchange(other.owner_, nullptr);
    cache_ = std::exchange(other.cache_, nullptr);
    pooled_ = std::move(other.pooled_);
  }
  return *this;
}

WordCacheLease::~WordCacheLease() { give_back(); }

void WordCacheLease::give_back() noexcept {
  if (owner_ == nullptr) return;
  if (pooled_) {
    owner_->give_back(std::move(pooled_));
  } else {
    owner_->primary_in_use_.clear(std::memory_order_release);
  }
  owner_ = nullptr;
  cache_ = nullptr;
}

PreparedEncoding::PreparedEncoding(std::shared_ptr<const Model> model, const TokenizerSettings& settings)
    : tables_(std::move(model), settings) {}

WordCacheLease PreparedEncoding::lease_word_cache() {
  WordCacheLease lease;
  if (!primary_in_use_.test_and_set(std::memory_order_acquire)) {
    lease.owner_ = this;
    lease.cache_ = &primary_;
    return lease;
  }
  {
    const std::lock_guard lock(pool_mutex_);
    if (!pool_.empty()) {
      lease.pooled_ = std::move(pool_.back());
      pool_.pop_back();
    }
  }
  if (!lease.pooled_) lease.pooled_ = std::make_unique<WordCache>();
  lease.owner_ = this;
  lease.cache_ = lease.pooled_.get();
  return lease;
}

void PreparedEncoding::give_back(std::unique_ptr<WordCache> cache) noexcept {
  const std::lock_guard lock(pool_mutex_);
  try {
    pool_.push_back(std::move(cache));
  } catch (const std::bad_alloc&) {
    // No room for the pool's slot: the cache is dropped, which only costs its warmth.
    cache.reset();
  }
}

EncodingCache::EncodingCache() = default;
EncodingCache::~EncodingCache() = default;

PreparedEncoding& EncodingCache::build(const BpeTokenizer& tokenizer) {
  const std::lock_guard lock(build_mutex_);
  // Another thread may have built them while this one waited.
  PreparedEncoding* current = current_.load(std::memory_order_relaxed);
  if (current != nullptr && &current->tables().model() == tokenizer.model.get()) return *current;
  built_.reserve(built_.size() + 1);
  built_.push_back(std::make_unique<PreparedEncoding>(tokenizer.model, tokenizer.settings));
  current_.store(built_.back().get(), std::memory_order_release);
  return *built_.back();
}

}  // namespace wrenmark
