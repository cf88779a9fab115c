#include "bpe_tokenizer/encoding/token_places.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/text/word_scan.hpp"

namespace wrenmark {

namespace {

// Turns byte offsets into code point offsets, counting only the bytes between one call and the
// next: offsets mostly grow, and go back only to the start of the character at hand.
class CodePointCounter {
 public:
  explicit CodePointCounter(std::string_view text) : text_(text) {}

  std::uint64_t at(std::size_t byte) {
    for (; byte_ < byte; ++byte_) code_points_ += !utf8::is_continuation(static_cast<unsigned char>(text_[byte_]));
    while (byte_ > byte) code_points_ -= !utf8::is_continuation(static_cast<unsigned char>(text_[--byte_]));
    return code_points_;
  }

 private:
  std::string_view text_;
  std::size_t byte_ = 0;
  std::uint64_t code_points_ = 0;
};

bool is_ascii(std::string_view text) {
  unsigned char bits = 0;
  for (const char byte : text) bits |= static_cast<unsigned char>(byte);
  return bits < 0x80;
}

// Whether `text` holds `token` at `position`, all of it before `end`.
bool spells(std::string_view text, std::size_t position, std::size_t end, std::string_view token) {
  return position + token.size() <= end && std::memcmp(text.data() + position, token.data(), token.size()) == 0;
}

class TokenPlacer {
 public:
  TokenPlacer(const EncodingTables& tables, EncodingView encoding)
      : tables_(tables), encoding_(encoding), text_(encoding.original_text()), code_points_(text_) {
    places_.reserve(encoding.token_count());
  }

  std::vector<TokenPlace> run() && {
    const SpecialTokenSplitter& splitter = tables_.splitter();
    if (splitter.empty()) {
      place_segment(0, text_.size());
    } else {
      std::size_t position = 0;
      splitter.split(
          text_,
          [&](std::string_view segment) {
            position = static_cast<std::size_t>(segment.data() - text_.data());
            place_segment(position, segment.size());
            position += segment.size();
          },
          [&](std::string_view token) {
            // Encoding drops a special token without an id together with its text.
            if (tables_.token_table().id_by_token(token)) place_special_token(position, token.size());
            position += token.size();
          });
    }
    // Only a model whose tokens have no text for some ids leaves tokens unplaced.
    while (next_token_ < encoding_.token_count()) emit(text_.size(), text_.size(), TokenPlace::kNoWord);
    return std::move(places_);
  }

 private:
  void place_segment(std::size_t begin, std::size_t size) {
    scan_words(text_.substr(begin, size), tables_.pre_tokenization(), [&](std::string_view word) {
      const std::size_t word_begin = static_cast<std::size_t>(word.data() - text_.data());
      place_word(word_begin, word_begin + word.size());
      ++word_index_;
    });
  }

  // A special token is no word of the pre-tokenization, so it has no word and takes no number.
  void place_special_token(std::size_t begin, std::size_t size) {
    if (next_token_ < encoding_.token_count()) emit(begin, begin + size, TokenPlace::kNoWord);
  }

  // The tokens of the word at [begin, end), up to the one that ends it with "</w>".
  void place_word(std::size_t begin, std::size_t end) {
    word_begin_ = begin;
    word_end_ = end;
    word_code_point_ = code_points_.at(begin);
    word_is_ascii_ = is_ascii(text_.substr(begin, end - begin));
    std::size_t position = begin;
    while (next_token_ < encoding_.token_count()) {
      const std::string_view token = encoding_.token(next_token_);
      if (token.ends_with(kEndOfWord)) {
        const std::string_view stem = token.substr(0, token.size() - kEndOfWord.size());
        if (position + stem.size() == end && spells(text_, position, end, stem)) {
          emit(position, end, word_index_);
          return;
        }
      }
      if (!token.empty() && spells(text_, position, end, token)) {
        emit(position, position + token.size(), word_index_);
        position += token.size();
        continue;
      }
      position = place_stand_in(token, position, end);
    }
  }

  // A token that does not spell the text at `position` stands in for text it cannot spell. A
  // byte token ("<0xE8>") stands for one byte of the character there and covers that whole
  // character, as each of the character's byte tokens does; any other (the unknown token for an
  // unseen character) stands for the whole character. Returns where the word's next token starts.
  std::size_t place_stand_in(std::string_view token, std::size_t position, std::size_t end) {
    if (position >= end) {
      emit(end, end, word_index_);
      return end;
    }
    // Only byte tokens leave `position` inside a character; the word starts at a character.
    std::size_t character_start = position;
    while (utf8::is_continuation(static_cast<unsigned char>(text_[character_start]))) --character_start;
    const std::size_t character_end =
        std::min(end, character_start + utf8::sequence_length(static_cast<unsigned char>(text_[character_start])));
    emit(character_start, character_end, word_index_);
    return is_byte_token(token) ? position + 1 : character_end;
  }

  static bool is_byte_token(std::string_view token) {
    const auto is_hex = [](char digit) { return (digit >= '0' && digit <= '9') || (digit >= 'A' && digit <= 'F'); };
    return token.size() == 6 && token.starts_with("<0x") && is_hex(token[3]) && is_hex(token[4]) && token[5] == '>';
  }

  // In a word of ASCII characters bytes are code points; the others are counted.
  std::uint64_t code_point_at(std::size_t byte) {
    if (word_is_ascii_ && byte >= word_begin_ && byte <= word_end_) return word_code_point_ + (byte - word_begin_);
    return code_points_.at(byte);
  }

  void emit(std::size_t begin, std::size_t end, std::uint64_t word) {
    const std::uint64_t start = code_point_at(begin);
    places_.push_back(TokenPlace{start, code_point_at(end), word});
    ++next_token_;
  }

  const EncodingTables& tables_;
  const EncodingView encoding_;
  const std::string_view text_;
  CodePointCounter code_points_;
  // The word being placed: where it starts and whether it is all ASCII.
  std::size_t word_begin_ = 0;
  std::size_t word_end_ = 0;
  std::uint64_t word_code_point_ = 0;
  bool word_is_ascii_ = false;
  std::size_t next_token_ = 0;
  std::uint64_t word_index_ = 0;
  std::vector<TokenPlace> places_;
};

}  // namespace

std::vector<TokenPlace> place_tokens(const EncodingTables& tables, EncodingView encoding) {
  return TokenPlacer(tables, encoding).run();
}

}  // namespace wrenmark
