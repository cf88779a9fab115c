#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/string_store.hpp"
#include "bpe_tokenizer/core/tokenizer_error.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/text/word_hash.hpp"

namespace wrenmark {

// The vocabulary. A token's id is its position in id_to_token; both directions share one copy
// of every token string, kept in a string store so that views into it never move.
class TokenTable {
 public:
  using TokenIds = absl::flat_hash_map<std::string_view, TokenId, StringViewHash>;

  TokenTable() = default;
  TokenTable(TokenTable&&) noexcept = default;
  TokenTable& operator=(TokenTable&&) noexcept = default;
  TokenTable(const TokenTable&) = delete;
  TokenTable& operator=(const TokenTable&) = delete;

  // The most tokens a table holds: every id fits a TokenId.
  static constexpr std::size_t kMaxTokens = std::numeric_limits<TokenId>::max();

  bool full() const { return id_to_token_.size() >= kMaxTokens; }

  // Returns the id of `token`, adding it with the next free id when it is new; a new token
  // needs a table that is not full.
  TokenId add_token(std::string_view token);

  // Loading fills the two directions separately, since a saved table may disagree with itself:
  // append_id_to_token gives `token` the next id even if the string is already present, and
  // set_token_to_id maps the string to `id` whatever id_to_token holds. Appending also needs a
  // table that is not full.
  void append_id_to_token(std::string_view token);
  void set_token_to_id(std::string_view token, TokenId id);

  std::optional<std::string_view> token_by_id(std::uint64_t id) const {
    if (id >= id_to_token_.size()) return std::nullopt;
    return id_to_token_[id];
  }
  std::optional<TokenId> id_by_token(std::string_view token) const {
    auto found = token_to_id_.find(token);
    if (found == token_to_id_.end()) return std::nullopt;
    return found->second;
  }

  // Makes room for `tokens` tokens in both directions, for a reader that knows the count.
  void reserve(std::size_t tokens) {
    id_to_token_.reserve(tokens);
    insert_or_forget(token_to_id_, [&] { token_to_id_.reserve(tokens); });
  }

  std::size_t size() const { return id_to_token_.size(); }
  std::span<const std::string_view> id_to_token() const { return id_to_token_; }
  const TokenIds& token_to_id() const { return token_to_id_; }

 private:
  StringStore strings_;
  std::vector<std::string_view> id_to_token_;
  TokenIds token_to_id_;
};

// The LimitExceeded error for adding to a full table.
TokenizerError vocabulary_full_error();

}  // namespace wrenmark
