#include "bpe_tokenizer/encoding/encoding_result.hpp"

#include <cstring>

namespace wrenmark {

namespace {

// Copies `values` to `destination` and returns the byte after them.
template <typename Value>
std::byte* copy_values(std::byte* destination, std::span<const Value> values) {
  if (!values.empty()) std::memcpy(destination, values.data(), values.size_bytes());
  return destination + values.size_bytes();
}

}  // namespace

Encoding EncodingBuilder::build() const {
  Encoding encoding;
  encoding.token_count_ = token_ends_.size();
  encoding.id_count_ = ids_.size();
  encoding.original_size_ = original_text_.size();
  const std::size_t size =
      Encoding::block_size(token_ends_.size(), ids_.size(), original_text_.size() + token_text_.size());
  if (size == 0) return encoding;
  // Not value-initialised: every byte is written below.
  encoding.block_.reset(new std::byte[size]);
  std::byte* position = encoding.block_.get();
  position = copy_values(position, std::span<const std::size_t>(token_ends_));
  position = copy_values(position, std::span<const TokenId>(ids_));
  position = copy_values(position, std::span<const TokenType>(token_types_));
  position = copy_values(position, std::span<const char>(original_text_));
  copy_values(position, std::span<const char>(token_text_));
  return encoding;
}

Result<TokenType> get_token_type(const Encoding& encoding, std::string_view token) {
  for (std::size_t index = 0; index < encoding.token_count(); ++index) {
    if (encoding.token(index) == token) return encoding.token_types()[index];
  }
  return TokenizerError::token_not_in_encoding(token);
}

}  // namespace wrenmark
