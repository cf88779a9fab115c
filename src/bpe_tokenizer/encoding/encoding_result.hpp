#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"

namespace wrenmark {

enum class TokenType : std::uint8_t { Word = 0, Subword = 1, SpecialToken = 2 };

// The result of encoding one text. It owns copies of everything, so it outlives the tokenizer
// that made it. Token strings are kept back to back in one buffer.
struct Encoding {
  std::string original_text;
  std::string token_text;
  std::vector<std::size_t> token_ends;
  std::vector<TokenId> ids;
  std::vector<TokenType> token_types;

  std::size_t token_count() const { return token_ends.size(); }
  std::string_view token(std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : token_ends[index - 1];
    return std::string_view(token_text).substr(begin, token_ends[index] - begin);
  }
  void append_token(std::string_view text, TokenType type) {
    token_text.append(text);
    token_ends.push_back(token_text.size());
    token_types.push_back(type);
  }
};

// The kind of the first token of `encoding` equal to `token`.
Result<TokenType> get_token_type(const Encoding& encoding, std::string_view token);

}  // namespace wrenmark
