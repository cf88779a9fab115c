#include "bpe_tokenizer/core/token_table.hpp"

#include <cassert>
#include <string>

#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

TokenId TokenTable::add_token(std::string_view token) {
  auto found = token_to_id_.find(token);
  if (found != token_to_id_.end()) return found->second;
  assert(!full());
  const auto id = static_cast<TokenId>(id_to_token_.size());
  const std::string_view stored = strings_.store(token);
  id_to_token_.push_back(stored);
  insert_or_forget(token_to_id_, [&] { return token_to_id_.emplace(stored, id); });
  return id;
}

void TokenTable::append_id_to_token(std::string_view token) {
  assert(!full());
  id_to_token_.push_back(strings_.store(token));
}

TokenizerError vocabulary_full_error() {
  return TokenizerError::limit_exceeded("a vocabulary holds at most " + std::to_string(TokenTable::kMaxTokens) +
                                        " tokens");
}

void TokenTable::set_token_to_id(std::string_view token, TokenId id) {
  auto found = token_to_id_.find(token);
  if (found != token_to_id_.end()) {
    found->second = id;
    return;
  }
  const std::string_view stored = strings_.store(token);
  insert_or_forget(token_to_id_, [&] { return token_to_id_.emplace(stored, id); });
}

}  // namespace wrenmark
