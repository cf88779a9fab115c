#include "bpe_tokenizer/encoding/special_token_splitter.hpp"

namespace wrenmark {

SpecialTokenSplitter::SpecialTokenSplitter(const std::vector<std::string>& special_tokens) {
  for (const std::string& token : special_tokens) {
    if (token.empty()) continue;
    const auto first_byte = static_cast<unsigned char>(token[0]);
    starts_a_token_[first_byte] = true;
    candidates_by_first_byte_[first_byte].push_back(static_cast<std::uint32_t>(tokens_.size()));
    tokens_.push_back(token);
  }
}

std::size_t SpecialTokenSplitter::match_at(std::string_view text, std::size_t position) const {
  const std::string_view rest = text.substr(position);
  for (const std::uint32_t index : candidates_by_first_byte_[static_cast<unsigned char>(rest[0])]) {
    if (rest.starts_with(tokens_[index])) return index;
  }
  return kNoMatch;
}

}  // namespace wrenmark
