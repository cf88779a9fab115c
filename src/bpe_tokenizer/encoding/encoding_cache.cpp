#include "bpe_tokenizer/encoding/encoding_cache.hpp"

namespace wrenmark {

EncodingCache::EncodingCache() = default;
EncodingCache::~EncodingCache() = default;

const std::shared_ptr<const EncodingTables>& EncodingCache::shared_tables(const BpeTokenizer& tokenizer) {
  if (!tables_ || &tables_->model() != tokenizer.model.get()) {
    word_cache_.clear();
    const std::lock_guard lock(pool_mutex_);
    pool_.clear();
    tables_ = std::make_shared<const EncodingTables>(tokenizer.model, tokenizer.settings);
  }
  return tables_;
}

std::unique_ptr<WordCache> EncodingCache::take_word_cache() {
  const std::lock_guard lock(pool_mutex_);
  if (pool_.empty()) return std::make_unique<WordCache>();
  std::unique_ptr<WordCache> cache = std::move(pool_.back());
  pool_.pop_back();
  return cache;
}

void EncodingCache::give_back_word_cache(std::unique_ptr<WordCache> cache) {
  const std::lock_guard lock(pool_mutex_);
  pool_.push_back(std::move(cache));
}

}  // namespace wrenmark
