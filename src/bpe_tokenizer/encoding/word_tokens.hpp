#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/encoding/append_buffer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/token_type.hpp"

namespace wrenmark {

// A token ending in "</w>" whose stem is not the word it came from: whether it is a Word
// depends on the other words of the call. `token` counts the word's tokens from its first.
struct UndecidedToken {
  std::uint32_t token;
  StemIndex stem;
};

// The tokens of one merged word in the form the encoding appends them, settled as far as the
// word alone allows: its ids, the texts of the ids that have one back to back with the size of
// each, their types, and the tokens that the call's other words decide. A cached word is kept
// in this form, so that each further occurrence is a few block copies.
struct WordTokens {
  std::span<const TokenId> ids;
  std::string_view text;
  std::span<const std::uint32_t> token_sizes;
  std::span<const TokenType> token_types;
  std::span<const UndecidedToken> undecided;
  StemIndex stem;
};

// Settles merged words into WordTokens in buffers kept from word to word.
class WordTokensBuilder {
 public:
  // The tokens of `ids`, the merged symbols of a word equal to stem `stem` (or kNoStem); valid
  // until the next call.
  WordTokens settle(const EncodingTables& tables, std::span<const TokenId> ids, StemIndex stem) {
    text_.clear();
    token_sizes_.clear();
    token_types_.clear();
    undecided_.clear();
    for (const TokenId id : ids) {
      const EncodingTables::TokenInfo* info = tables.token_info(id);
      if (info == nullptr) continue;
      TokenType type = TokenType::Subword;
      if (info->token_class == TokenClass::Special) {
        type = TokenType::SpecialToken;
      } else if (info->token_class == TokenClass::EndsWithMarker) {
        if (info->stem == stem) {
          type = TokenType::Word;
        } else {
          undecided_.push_back(UndecidedToken{static_cast<std::uint32_t>(token_types_.size()), info->stem});
        }
      }
      copy_bytes(text_.extend(info->text.size()), info->text.data(), info->text.size());
      token_sizes_.push_back(static_cast<std::uint32_t>(info->text.size()));
      token_types_.push_back(type);
    }
    return WordTokens{
        ids, std::string_view(text_.data(), text_.size()), token_sizes_.view(), token_types_.view(), undecided_.view(),
        stem};
  }

 private:
  AppendBuffer<char> text_;
  AppendBuffer<std::uint32_t> token_sizes_;
  AppendBuffer<TokenType> token_types_;
  AppendBuffer<UndecidedToken> undecided_;
};

}  // namespace wrenmark
