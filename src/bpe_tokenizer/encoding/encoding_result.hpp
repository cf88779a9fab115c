#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"

namespace wrenmark {

enum class TokenType : std::uint8_t { Word = 0, Subword = 1, SpecialToken = 2 };

// The result of encoding one text. It owns copies of everything, so it outlives the tokenizer
// that made it. Everything sits in one heap block: a batch makes one of these per text on a
// worker thread and the interpreter frees them later, so each block counts twice.
// An id whose token has no text has no token either, so `ids` may be longer than the tokens.
class Encoding {
 public:
  Encoding() = default;

  std::string_view original_text() const { return {text_begin(), original_size_}; }
  std::span<const TokenId> ids() const { return {reinterpret_cast<const TokenId*>(ends_end()), id_count_}; }
  std::size_t token_count() const { return token_count_; }
  std::string_view token(std::size_t index) const {
    const std::size_t begin = index == 0 ? 0 : token_ends()[index - 1];
    return {text_begin() + original_size_ + begin, token_ends()[index] - begin};
  }
  std::span<const TokenType> token_types() const { return {types_begin(), token_count_}; }

 private:
  friend class EncodingBuilder;

  // The block holds the token ends, the ids, the token types, the original text and then the
  // token texts back to back, in that order so that every array is aligned.
  static std::size_t block_size(std::size_t token_count, std::size_t id_count, std::size_t text_size) {
    return token_count * sizeof(std::size_t) + id_count * sizeof(TokenId) + token_count * sizeof(TokenType) +
           text_size;
  }
  const std::size_t* token_ends() const { return reinterpret_cast<const std::size_t*>(block_.get()); }
  const std::byte* ends_end() const { return block_.get() + token_count_ * sizeof(std::size_t); }
  const TokenType* types_begin() const {
    return reinterpret_cast<const TokenType*>(ends_end() + id_count_ * sizeof(TokenId));
  }
  const char* text_begin() const { return reinterpret_cast<const char*>(types_begin() + token_count_); }

  std::unique_ptr<std::byte[]> block_;
  std::size_t token_count_ = 0;
  std::size_t id_count_ = 0;
  std::size_t original_size_ = 0;
};

// Collects an encoding token by token in buffers that keep their capacity from one text to the
// next, then copies it into an Encoding of exactly the right size.
class EncodingBuilder {
 public:
  // Starts a new encoding of `original_text`, which must stay alive until build().
  void start(std::string_view original_text) {
    original_text_ = original_text;
    token_text_.clear();
    token_ends_.clear();
    ids_.clear();
    token_types_.clear();
  }
  void append_id(TokenId id) { ids_.push_back(id); }
  void append_token(std::string_view text, TokenType type) {
    token_text_.append(text);
    token_ends_.push_back(token_text_.size());
    token_types_.push_back(type);
  }
  std::size_t token_count() const { return token_ends_.size(); }
  void set_token_type(std::size_t index, TokenType type) { token_types_[index] = type; }

  Encoding build() const;

 private:
  std::string_view original_text_;
  std::string token_text_;
  std::vector<std::size_t> token_ends_;
  std::vector<TokenId> ids_;
  std::vector<TokenType> token_types_;
};

// The kind of the first token of `encoding` equal to `token`.
Result<TokenType> get_token_type(const Encoding& encoding, std::string_view token);

}  // namespace wrenmark
