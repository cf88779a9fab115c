#include "bpe_tokenizer/text/utf8.hpp"

#include "simdjson.h"

namespace wrenmark::utf8 {

bool is_valid(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

std::size_t first_invalid(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t length = valid_sequence_length(bytes + position, text.size() - position);
    if (length == 0) return position;
    position += length;
  }
  return text.size();
}

}  // namespace wrenmark::utf8
