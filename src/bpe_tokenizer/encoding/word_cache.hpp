#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/string_store.hpp"
#include "bpe_tokenizer/encoding/append_buffer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/record_index.hpp"
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

  WordCache() = default;
  WordCache(const WordCache&) = delete;
  WordCache& operator=(const WordCache&) = delete;

  // The hash that the lookups below take, computed once per word occurrence.
  std::uint64_t hash(std::string_view word) const { return hash_(word); }
  // Starts loading the table's slots of a word ahead of its lookup.
  void prefetch_slots(std::uint64_t hash) const { index_.prefetch(hash); }
  // Starts loading the record that a lookup of the word is likely to read, once its slots are
  // near: a word's record is usually the cache miss that its lookup waits for.
  void prefetch_record(std::uint64_t hash) const {
    if (auto position = index_.first_candidate(hash)) {
      const char* record = record_at(*position);
      __builtin_prefetch(record);
      __builtin_prefetch(record + 64);
    }
  }

  // The tokens of `word` when it is kept; they stay valid until the next insert or clear.
  std::optional<WordTokens> find(std::string_view word) const { return find(word, hash(word)); }
  // The same for a word whose hash() is `hash`.
  std::optional<WordTokens> find(std::string_view word, std::uint64_t hash) const {
    auto found = index_.find(hash, [&](std::uint32_t position) { return same_word(word_at(position), word); });
    if (!found) return std::nullopt;
    const char* record = record_at(*found);
    const RecordHeader& header = *reinterpret_cast<const RecordHeader*>(record);
    const RecordLayout layout(header);
    return WordTokens{
        std::span<const TokenId>(reinterpret_cast<const TokenId*>(record + layout.ids), header.id_count),
        std::string_view(record + layout.text, header.text_size),
        std::span<const std::uint32_t>(reinterpret_cast<const std::uint32_t*>(record + layout.token_sizes),
                                       header.token_count),
        std::span<const TokenType>(reinterpret_cast<const TokenType*>(record + layout.token_types), header.token_count),
        std::span<const UndecidedToken>(reinterpret_cast<const UndecidedToken*>(record + layout.undecided),
                                        header.undecided_count),
        header.stem};
  }

  // Keeps the tokens of `word`, which find() did not find.
  void insert(std::string_view word, const WordTokens& tokens) { insert(word, hash(word), tokens); }
  void insert(std::string_view word, std::uint64_t hash, const WordTokens& tokens);
  // Makes room up front for the distinct words a text of `text_size` bytes is likely to bring,
  // within the limits, so that a first long text does not grow the table and the records by
  // doubling, copying each time into memory that faults again.
  void reserve_for_text(std::size_t text_size) {
    const std::size_t words = std::min(text_size / kTextBytesPerDistinctWord, kMaxEntries);
    if (words < kReserveFromWords) return;
    index_.reserve(words, hash_at());
    records_.reserve(std::min(words * kUnitsPerRecordEstimate, kMaxRecordUnits));
  }
  // Forgets every word; the record memory is kept for reuse.
  void clear();

 private:
  // A word's record, one run of bytes that a hit reads from start to end, so that it costs a
  // cache line or two instead of one per array: this header, the word, its token text, then
  // aligned to 4 its ids, token sizes and undecided tokens, then the types. Records sit back to
  // back in `records_`, each a whole number of its 8-byte units; the table keeps only where
  // each starts (4 bytes a slot), so that the table of a full cache stays within a core's
  // second-level cache and a lookup misses it rarely.
  // The counts fit 16 bits: a kept word has at most kMaxWordBytes bytes, so at most one id per
  // byte and "</w>", and at most kMaxTokenTextBytes of token text. 16 bytes, so that a hit reads
  // fewer cache lines.
  struct RecordHeader {
    std::uint16_t word_size;
    std::uint16_t text_size;
    std::uint16_t id_count;
    std::uint16_t token_count;
    std::uint16_t undecided_count;
    StemIndex stem;
  };
  static_assert(kMaxWordBytes + 1 <= UINT16_MAX && kMaxTokenTextBytes <= UINT16_MAX && sizeof(RecordHeader) == 16);
  using Unit = std::uint64_t;
  static constexpr std::size_t align_up(std::size_t at, std::size_t alignment) {
    return (at + alignment - 1) & ~(alignment - 1);
  }
  struct RecordLayout {
    explicit RecordLayout(const RecordHeader& header)
        : text(sizeof(RecordHeader) + header.word_size),
          ids(align_up(text + header.text_size, alignof(TokenId))),
          token_sizes(ids + sizeof(TokenId) * header.id_count),
          undecided(token_sizes + sizeof(std::uint32_t) * header.token_count),
          token_types(undecided + sizeof(UndecidedToken) * header.undecided_count),
          units(align_up(token_types + sizeof(TokenType) * header.token_count, sizeof(Unit)) / sizeof(Unit)) {}
    std::size_t text;
    std::size_t ids;
    std::size_t token_sizes;
    std::size_t undecided;
    std::size_t token_types;
    std::size_t units;
  };
  static_assert(alignof(RecordHeader) <= alignof(TokenId) && alignof(std::uint32_t) <= alignof(TokenId) &&
                alignof(UndecidedToken) <= alignof(TokenId) && alignof(TokenId) <= sizeof(Unit) &&
                alignof(TokenType) == 1 && sizeof(RecordHeader) % alignof(TokenId) == 0);

  const char* record_at(std::uint32_t unit) const { return reinterpret_cast<const char*>(records_.data() + unit); }
  std::string_view word_at(std::uint32_t unit) const {
    const char* record = record_at(unit);
    return std::string_view(record + sizeof(RecordHeader), reinterpret_cast<const RecordHeader*>(record)->word_size);
  }

  // Most words are at most 16 bytes: those are hashed and compared through two overlapping
  // loads each, without the calls that copying a tail of any length or memcmp would make.
  struct WordHash {
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
  static bool same_word(std::string_view left, std::string_view right) {
    if (left.size() != right.size()) return false;
    if (left.size() > 16) return left == right;
    const detail::ShortWord a = detail::ShortWord::load(left);
    const detail::ShortWord b = detail::ShortWord::load(right);
    return a.low == b.low && a.high == b.high;
  }
  // The hash of the word of the record at `position`, for the index to rehash with.
  struct HashAt {
    std::uint64_t operator()(std::uint32_t position) const { return cache->hash_(cache->word_at(position)); }
    const WordCache* cache;
  };
  HashAt hash_at() const { return HashAt{this}; }
  // The words with their token texts, as before the records held the rest; the records
  // themselves are bounded by what these limits allow them.
  static constexpr std::size_t kMaxTextBytes = 64 * StringStore::kBlockBytes;
  static constexpr std::size_t kMaxRecordUnits =
      (kMaxTextBytes +
       kMaxIds * (sizeof(TokenId) + sizeof(std::uint32_t) + sizeof(TokenType) + sizeof(UndecidedToken)) +
       kMaxEntries * (sizeof(RecordHeader) + alignof(TokenId) + sizeof(Unit))) /
      sizeof(Unit);
  static_assert(kMaxRecordUnits <= RecordIndex::kMaxPosition);
  // Measured on English prose: a megabyte brings about 39,000 distinct words, whose records
  // take 9.5 to 11.5 units each (more for a smaller vocabulary). The estimates err high, since
  // reserved room that is never written costs no page, while growing copies the records into
  // fresh pages. Below a few thousand words doubling copies too little to matter.
  static constexpr std::size_t kTextBytesPerDistinctWord = 24;
  static constexpr std::size_t kUnitsPerRecordEstimate = 12;
  static constexpr std::size_t kReserveFromWords = 1024;

  WordHash hash_;
  RecordIndex index_;
  std::size_t id_count_ = 0;
  std::size_t text_bytes_ = 0;
  AppendBuffer<Unit> records_;
};

}  // namespace wrenmark
