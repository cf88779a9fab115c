#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

Result<std::string> get_token_by_id(const BpeTokenizer& tokenizer, std::uint64_t id) {
  auto token = tokenizer.model ? tokenizer.model->token_table.token_by_id(id) : std::nullopt;
  if (!token) return TokenizerError::no_token_for_id(id);
  return std::string(*token);
}

Result<TokenId> get_id_by_token(const BpeTokenizer& tokenizer, std::string_view token) {
  auto id = tokenizer.model ? tokenizer.model->token_table.id_by_token(token) : std::nullopt;
  if (!id) return TokenizerError::no_id_for_token(token);
  return *id;
}

}  // namespace wrenmark
