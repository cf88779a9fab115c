#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/string_store.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_tokens.hpp"
#include "bpe_tokenizer/text/word_hash.hpp"

namespace wrenmark {

// Remembers the tokens of words already merged, settled as far as the word alone allows (see
// WordTokens), so that a frequent word is merged once and every further occurrence is copied.
// Stems are those of the tables the words were encoded with. Memory is bounded: when any of the
// limits would be passed, everything is forgotten at once and the cache fills again from the
// words that follow. Long words are not kept, since they are rare and would crowd out the
// frequent ones.
namespace detail {

// The bytes of a word of at most 16 bytes as two numbers, read by loads that overlap when it is
// shorter; two words of the same size are equal exactly when their numbers are.
struct ShortWord {
  std::uint64_t low;
  std::uint64_t high;

  static ShortWord load(std::string_view word) {
    const char* bytes = word.data();
    const std::size_t size = word.size();
    if (size >= 8) return {read<std::uint64_t>(bytes), read<std::uint64_t>(bytes + size - 8)};
    if (size >= 4) return {read<std::uint32_t>(bytes), read<std::uint32_t>(bytes + size - 4)};
    if (size == 0) return {0, 0};
    const auto byte = [&](std::size_t index) {
      return static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[index]));
    };
    return {byte(0) | byte(size / 2) << 8 | byte(size - 1) << 16, 0};
  }

 private:
  template <typename Number>
  static std::uint64_t read(const char* bytes) {
    Number value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
};

}  // namespace detail

class WordCache {
 public:
  static constexpr std::size_t kMaxWordBytes = 256;
  // About 20 MB when full: entries, ids with their token sizes and types, the undecided tokens
  // (at most one per id), and the words with their token texts.
  static constexpr std::size_t kMaxEntries = 1 << 17;
  static constexpr std::size_t kMaxIds = 1 << 19;
  static constexpr std::size_t kMaxTokenTextBytes = 4 * kMaxWordBytes;

  std::optional<WordTokens> find(std::string_view word) const {
    auto found = entries_.find(word);
    if (found == entries_.end()) return std::nullopt;
    const Entry& entry = found->second;
    const char* record = found->first.data();
    const RecordLayout layout(found->first.size(), entry);
    return WordTokens{
        std::span<const TokenId>(reinterpret_cast<const TokenId*>(record + layout.ids), entry.id_count),
        std::string_view(record + found->first.size(), entry.text_size),
        std::span<const std::uint32_t>(reinterpret_cast<const std::uint32_t*>(record + layout.token_sizes),
                                       entry.token_count),
        std::span<const TokenType>(reinterpret_cast<const TokenType*>(record + layout.token_types), entry.token_count),
        std::span<const UndecidedToken>(reinterpret_cast<const UndecidedToken*>(record + layout.undecided),
                                        entry.undecided_count),
        entry.stem};
  }

  void insert(std::string_view word, const WordTokens& tokens);
  // Forgets every word; the record blocks are kept for reuse.
  void clear();

 private:
  struct Entry {
    std::uint32_t id_count;
    std::uint32_t token_count;
    std::uint32_t undecided_count;
    std::uint32_t text_size;
    StemIndex stem;
  };
  // A word's record, one run of bytes that a hit reads from start to end, so that it costs a
  // cache line or two instead of one per array: the word (the map's key points at it), its
  // token text, then aligned to 4 its ids, token sizes and undecided tokens, then the types.
  // Records are stored at multiples of kRecordAlignment.
  static constexpr std::size_t kRecordAlignment = 8;
  static constexpr std::size_t align_up(std::size_t at, std::size_t alignment) {
    return (at + alignment - 1) & ~(alignment - 1);
  }
  struct RecordLayout {
    RecordLayout(std::size_t word_size, const Entry& entry)
        : ids(align_up(word_size + entry.text_size, alignof(TokenId))),
          token_sizes(ids + sizeof(TokenId) * entry.id_count),
          undecided(token_sizes + sizeof(std::uint32_t) * entry.token_count),
          token_types(undecided + sizeof(UndecidedToken) * entry.undecided_count),
          size(align_up(token_types + sizeof(TokenType) * entry.token_count, kRecordAlignment)) {}
    std::size_t ids;
    std::size_t token_sizes;
    std::size_t undecided;
    std::size_t token_types;
    std::size_t size;
  };
  static_assert(alignof(std::uint32_t) <= alignof(TokenId) && alignof(UndecidedToken) <= alignof(TokenId) &&
                alignof(TokenId) <= kRecordAlignment && alignof(TokenType) == 1);

  // Most words are at most 16 bytes: those are hashed and compared through two overlapping
  // loads each, without the calls that copying a tail of any length or memcmp would make.
  struct Hash {
    std::size_t operator()(std::string_view word) const {
      if (word.size() > 16) return hasher(word);
      const detail::ShortWord loaded = detail::ShortWord::load(word);
      const unsigned __int128 product =
          static_cast<unsigned __int128>(loaded.low ^ seed ^ word.size()) * (loaded.high ^ kMultiplier);
      return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    }
    static constexpr std::uint64_t kMultiplier = 0x9e3779b97f4a7c15ull;
    WordHasher hasher;
    // Derived from the process's seed, so that crafted words cannot aim at one bucket either.
    std::uint64_t seed = hasher(std::string_view("seed"));
  };
  struct Equal {
    bool operator()(std::string_view left, std::string_view right) const {
      if (left.size() != right.size()) return false;
      if (left.size() > 16) return left == right;
      const detail::ShortWord a = detail::ShortWord::load(left);
      const detail::ShortWord b = detail::ShortWord::load(right);
      return a.low == b.low && a.high == b.high;
    }
  };
  // The words with their token texts, as before the records held the rest; the records
  // themselves are bounded by what these limits allow them.
  static constexpr std::size_t kMaxTextBytes = 64 * StringStore::kBlockBytes;
  static constexpr std::size_t kMaxRecordBytes =
      kMaxTextBytes + kMaxIds * (sizeof(TokenId) + sizeof(std::uint32_t) + sizeof(TokenType) + sizeof(UndecidedToken)) +
      kMaxEntries * (alignof(TokenId) + kRecordAlignment) + 64 * StringStore::kBlockBytes;

  absl::flat_hash_map<std::string_view, Entry, Hash, Equal> entries_;
  std::size_t id_count_ = 0;
  std::size_t text_bytes_ = 0;
  StringStore records_;
  std::string record_;
};

}  // namespace wrenmark
