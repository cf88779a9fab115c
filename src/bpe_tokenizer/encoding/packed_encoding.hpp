#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/encoding/append_buffer.hpp"
#include "bpe_tokenizer/encoding/token_type.hpp"

namespace wrenmark {

// A finished encoding is packed into one block of bytes that owns copies of everything, so it
// outlives the tokenizer that made it and whoever holds it allocates once: a batch packs its
// results into a few large blocks on the worker threads and the binding copies each into the
// object it returns. The block holds a header with the counts, the token ends, the ids, the
// token types, the original text and the token texts back to back, in that order so that every
// array is aligned when the block starts at a multiple of kPackedAlignment.
// An id whose token has no text has no token either, so `ids` may be longer than the tokens.
inline constexpr std::size_t kPackedAlignment = alignof(std::uint64_t);

class EncodingView {
 public:
  // `block` holds a packed encoding and starts at a multiple of kPackedAlignment.
  explicit EncodingView(const std::byte* block) : block_(block) {}

  std::string_view original_text() const { return {text_begin(), header().original_size}; }
  std::span<const TokenId> ids() const { return {reinterpret_cast<const TokenId*>(ends_end()), header().id_count}; }
  std::size_t token_count() const { return header().token_count; }
  std::string_view token(std::size_t index) const {
    const std::uint64_t* ends = token_ends();
    const std::size_t begin = index == 0 ? 0 : ends[index - 1];
    return {text_begin() + header().original_size + begin, ends[index] - begin};
  }
  std::span<const TokenType> token_types() const { return {types_begin(), header().token_count}; }

 private:
  friend class EncodingBuilder;
  struct Header {
    std::uint64_t token_count;
    std::uint64_t id_count;
    std::uint64_t original_size;
  };

  const Header& header() const { return *reinterpret_cast<const Header*>(block_); }
  const std::uint64_t* token_ends() const { return reinterpret_cast<const std::uint64_t*>(block_ + sizeof(Header)); }
  const std::byte* ends_end() const { return block_ + sizeof(Header) + header().token_count * sizeof(std::uint64_t); }
  const TokenType* types_begin() const {
    return reinterpret_cast<const TokenType*>(ends_end() + header().id_count * sizeof(TokenId));
  }
  const char* text_begin() const { return reinterpret_cast<const char*>(types_begin() + header().token_count); }

  const std::byte* block_;
};

// Collects an encoding token by token in buffers that keep their capacity from one text to the
// next, then packs it.
class EncodingBuilder {
 public:
  // Starts a new encoding of `original_text`, which must stay alive until it is packed.
  void start(std::string_view original_text) {
    original_text_ = original_text;
    token_text_.clear();
    token_ends_.clear();
    ids_.clear();
    token_types_.clear();
    reserve_for(original_text.size());
  }
  void append_id(TokenId id) { ids_.push_back(id); }
  void append_token(std::string_view text, TokenType type) {
    copy_bytes(token_text_.extend(text.size()), text.data(), text.size());
    token_ends_.push_back(token_text_.size());
    token_types_.push_back(type);
  }
  // Appends the tokens of one word: `ids`, and for the ids with a text, their texts back to back
  // in `text`, the size of each and their types.
  void append_tokens(std::span<const TokenId> ids, std::string_view text, std::span<const std::uint32_t> token_sizes,
                     std::span<const TokenType> types) {
    // One test of the room for the whole word, then the copies without one each: a repeated
    // word costs little more than this append.
    if (ids_.room() < ids.size() || token_text_.room() < text.size() || token_ends_.room() < token_sizes.size() ||
        token_types_.room() < types.size()) [[unlikely]] {
      make_room(ids.size(), text.size(), token_sizes.size());
    }
    copy_bytes(ids_.extend_within(ids.size()), ids.data(), ids.size_bytes());
    std::uint64_t end = token_text_.size();
    copy_bytes(token_text_.extend_within(text.size()), text.data(), text.size());
    std::uint64_t* ends = token_ends_.extend_within(token_sizes.size());
    for (std::size_t index = 0; index < token_sizes.size(); ++index) {
      end += token_sizes[index];
      ends[index] = end;
    }
    copy_bytes(token_types_.extend_within(types.size()), types.data(), types.size_bytes());
  }
  std::size_t token_count() const { return token_ends_.size(); }
  std::span<const TokenId> ids() const { return ids_; }
  void set_token_type(std::size_t index, TokenType type) { token_types_[index] = type; }

  // The bytes pack() writes: a multiple of kPackedAlignment, so packed encodings can follow
  // each other in one block.
  std::size_t packed_size() const;
  // Writes the packed encoding to `destination`, which starts at a multiple of
  // kPackedAlignment and has room for packed_size() bytes; returns that size.
  std::size_t pack(std::byte* destination) const;

 private:
  // Sized up front from the text, so that a first long text does not grow the buffers by
  // doubling, copying each time into fresh memory that faults again. The estimates err high (a
  // 32k model of English prose gives a token per 3.2 bytes, an 8k one per 2.6, and the token
  // texts with their "</w>" are 1.3 times the text): room reserved and never written costs
  // address space only, no page, while a buffer that grows once copies all it holds into pages
  // that fault on top of the ones it leaves.
  static constexpr std::size_t kBytesPerTokenEstimate = 2;
  void reserve_for(std::size_t text_size) {
    const std::size_t tokens = text_size / kBytesPerTokenEstimate;
    token_text_.reserve(text_size + text_size / 2);
    token_ends_.reserve(tokens);
    ids_.reserve(tokens);
    token_types_.reserve(tokens);
  }

  // Grows the buffers for `ids` more ids, `text` more bytes and `tokens` more tokens.
  [[gnu::noinline]] void make_room(std::size_t ids, std::size_t text, std::size_t tokens) {
    ids_.reserve(ids_.size() + ids);
    token_text_.reserve(token_text_.size() + text);
    token_ends_.reserve(token_ends_.size() + tokens);
    token_types_.reserve(token_types_.size() + tokens);
  }

  std::string_view original_text_;
  AppendBuffer<char> token_text_;
  AppendBuffer<std::uint64_t> token_ends_;
  AppendBuffer<TokenId> ids_;
  AppendBuffer<TokenType> token_types_;
};

// The kind of the first token of `encoding` equal to `token`.
Result<TokenType> get_token_type(EncodingView encoding, std::string_view token);

}  // namespace wrenmark
