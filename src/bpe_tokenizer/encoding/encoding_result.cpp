#include "bpe_tokenizer/encoding/encoding_result.hpp"

namespace wrenmark {

Result<TokenType> get_token_type(const Encoding& encoding, std::string_view token) {
  for (std::size_t index = 0; index < encoding.token_count(); ++index) {
    if (encoding.token(index) == token) return encoding.token_types[index];
  }
  return TokenizerError::token_not_in_encoding(token);
}

}  // namespace wrenmark
