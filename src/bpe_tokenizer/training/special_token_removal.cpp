#include "bpe_tokenizer/training/special_token_removal.hpp"

namespace wrenmark {

Result<std::string> remove_special_tokens(std::string text, const std::vector<std::string>& special_tokens,
                                          SpecialTokenRemovalMethod method) {
  if (method == SpecialTokenRemovalMethod::AhoCorasick) return remove_tokens_aho_corasick(text, special_tokens);
  for (const std::string& token : special_tokens) {
    if (token.empty()) continue;
    text = remove_one_token_everywhere(text, token);
  }
  return text;
}

}  // namespace wrenmark
