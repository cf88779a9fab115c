#include "bpe_tokenizer/encoding/encoding_cache.hpp"

namespace wrenmark {

EncodingCache::EncodingCache() = default;
EncodingCache::~EncodingCache() = default;

const std::shared_ptr<const EncodingTables>& EncodingCache::shared_tables(const BpeTokenizer& tokenizer) {
  if (!tables_ || &tables_->model() != tokenizer.model.get()) {
    word_cache_.clear();
    tables_ = std::make_shared<const EncodingTables>(tokenizer.model, tokenizer.settings);
  }
  return tables_;
}

}  // namespace wrenmark
