#include <cstring>

#include "bpe_tokenizer/training/special_token_removal.hpp"

namespace wrenmark {

std::string remove_one_token_everywhere(std::string_view text, std::string_view token) {
  if (token.empty()) return std::string(text);
  std::string output;
  output.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const void* found = ::memmem(text.data() + position, text.size() - position, token.data(), token.size());
    if (found == nullptr) break;
    const auto match = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    output.append(text, position, match - position);
    position = match + token.size();
  }
  output.append(text.substr(position));
  return output;
}

}  // namespace wrenmark
