#include <cstring>

#include "training/special_token_removal.hpp"

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

Result<std::string> remove_special_tokens(std::string text, const std::vector<std::string>& special_tokens,
                                          SpecialTokenRemovalMethod method, TrainingMonitor& monitor) {
  if (method == SpecialTokenRemovalMethod::AhoCorasick) return remove_tokens_in_one_pass(text, special_tokens);
  for (const std::string& token : special_tokens) {
    if (monitor.advance(1, text.size() > (1 << 20))) return TokenizerError::cancelled();
    if (token.empty()) continue;
    text = remove_one_token_everywhere(text, token);
  }
  return text;
}

}  // namespace wrenmark
