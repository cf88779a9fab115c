#include "bpe_tokenizer/core/token_table.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace wrenmark {

namespace {
constexpr std::size_t kBlockSize = 64 * 1024;
}

std::string_view TokenTable::store(std::string_view token) {
  if (token.empty()) return std::string_view();
  if (token.size() > block_capacity_ - block_used_) {
    const std::size_t capacity = std::max(kBlockSize, token.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(capacity));
    block_used_ = 0;
    block_capacity_ = capacity;
  }
  char* destination = blocks_.back().get() + block_used_;
  std::memcpy(destination, token.data(), token.size());
  block_used_ += token.size();
  return std::string_view(destination, token.size());
}

TokenId TokenTable::add_token(std::string_view token) {
  auto found = token_to_id_.find(token);
  if (found != token_to_id_.end()) return found->second;
  if (id_to_token_.size() >= std::numeric_limits<TokenId>::max()) throw std::length_error("vocabulary is full");
  const auto id = static_cast<TokenId>(id_to_token_.size());
  const std::string_view stored = store(token);
  id_to_token_.push_back(stored);
  token_to_id_.emplace(stored, id);
  return id;
}

void TokenTable::append_id_to_token(std::string_view token) {
  if (id_to_token_.size() >= std::numeric_limits<TokenId>::max()) throw std::length_error("vocabulary is full");
  id_to_token_.push_back(store(token));
}

void TokenTable::set_token_to_id(std::string_view token, TokenId id) {
  auto found = token_to_id_.find(token);
  if (found != token_to_id_.end()) {
    found->second = id;
    return;
  }
  token_to_id_.emplace(store(token), id);
}

}  // namespace wrenmark
