#include "bpe_tokenizer/encoding/packed_encoding.hpp"

#include <cstdint>
#include <cstring>

namespace wrenmark {

namespace {

// Copies `values` to `destination` and returns the byte after them.
template <typename Value>
std::byte* copy_values(std::byte* destination, std::span<const Value> values) {
  copy_bytes(destination, values.data(), values.size_bytes());
  return destination + values.size_bytes();
}

}  // namespace

std::size_t EncodingBuilder::packed_size() const {
  const std::size_t size = sizeof(EncodingView::Header) + token_ends_.size() * sizeof(std::uint64_t) +
                           ids_.size() * sizeof(TokenId) + token_types_.size() * sizeof(TokenType) +
                           original_text_.size() + token_text_.size();
  return (size + kPackedAlignment - 1) / kPackedAlignment * kPackedAlignment;
}

std::size_t EncodingBuilder::pack(std::byte* destination) const {
  const EncodingView::Header header{token_ends_.size(), ids_.size(), original_text_.size()};
  std::memcpy(destination, &header, sizeof(header));
  std::byte* position = destination + sizeof(header);
  position = copy_values(position, token_ends_.view());
  position = copy_values(position, ids_.view());
  position = copy_values(position, token_types_.view());
  position = copy_values(position, std::span<const char>(original_text_));
  position = copy_values(position, token_text_.view());
  const std::size_t size = packed_size();
  // Fewer than kPackedAlignment bytes of padding: a library call would cost more than they, so
  // two overlapping stores, or three for under four bytes, cover them.
  static_assert(kPackedAlignment <= 8);
  const std::size_t padding = static_cast<std::size_t>(destination + size - position);
  if (padding >= 4) {
    const std::uint32_t zero = 0;
    std::memcpy(position, &zero, sizeof(zero));
    std::memcpy(position + padding - sizeof(zero), &zero, sizeof(zero));
  } else if (padding > 0) {
    position[0] = std::byte{0};
    position[padding / 2] = std::byte{0};
    position[padding - 1] = std::byte{0};
  }
  return size;
}

Result<TokenType> get_token_type(EncodingView encoding, std::string_view token) {
  for (std::size_t index = 0; index < encoding.token_count(); ++index) {
    if (encoding.token(index) == token) return encoding.token_types()[index];
  }
  return TokenizerError::token_not_in_encoding(token);
}

}  // namespace wrenmark
