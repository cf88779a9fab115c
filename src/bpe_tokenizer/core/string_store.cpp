#include "bpe_tokenizer/core/string_store.hpp"

#include <algorithm>
#include <cstring>

namespace wrenmark {

std::string_view StringStore::store(std::string_view text) {
  if (text.empty()) return std::string_view();
  if (blocks_.empty() || text.size() > blocks_[current_].capacity - used_) start_block(text.size());
  char* destination = blocks_[current_].bytes.get() + used_;
  std::memcpy(destination, text.data(), text.size());
  used_ += text.size();
  return std::string_view(destination, text.size());
}

void StringStore::start_block(std::size_t size) {
  if (!blocks_.empty()) {
    bytes_before_current_ += blocks_[current_].capacity;
    ++current_;
  }
  while (current_ < blocks_.size() && blocks_[current_].capacity < size) {
    bytes_before_current_ += blocks_[current_].capacity;
    ++current_;
  }
  if (current_ == blocks_.size()) {
    const std::size_t capacity = std::max(kBlockBytes, size);
    blocks_.push_back(Block{std::make_unique_for_overwrite<char[]>(capacity), capacity});
  }
  used_ = 0;
}

void StringStore::clear() {
  current_ = 0;
  used_ = 0;
  bytes_before_current_ = 0;
}

}  // namespace wrenmark
