#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"
#include "bpe_tokenizer/text/word_hash.hpp"

namespace wrenmark {

// Where a word first occurs: the origin of its block (blocks later in the corpus have larger
// origins) and its offset in the block's text after special-token removal.
struct FirstOccurrence {
  std::uint64_t origin = 0;
  std::uint64_t offset = 0;
  friend auto operator<=>(const FirstOccurrence&, const FirstOccurrence&) = default;
};

struct WordStat {
  std::uint64_t count = 0;
  FirstOccurrence first;
};

struct CountedWord {
  std::string_view text;
  WordStat stat;
};

// A word as a hash-map key: its hash and first sixteen bytes travel with it, so that a probe
// settles without reading the word's bytes elsewhere unless the word is longer. A word of at most
// kInlineBytes bytes lives in the key itself (in `head` and `rest`, in memory order); a longer
// one keeps the address of its bytes in `rest`.
struct WordKey {
  static constexpr std::size_t kInlineBytes = 16;

  // The key of `word` as it stands; `word` must outlive it if longer than kInlineBytes.
  WordKey(std::string_view word, std::uint64_t word_hash)
      : hash(word_hash), size(static_cast<std::uint32_t>(word.size())) {
    if (word.size() <= kInlineBytes) {
      char bytes[kInlineBytes] = {};
      std::memcpy(bytes, word.data(), word.size());
      std::memcpy(&head, bytes, sizeof head);
      std::memcpy(&rest, bytes + sizeof head, sizeof rest);
    } else {
      std::memcpy(&head, word.data(), sizeof head);
      rest = reinterpret_cast<std::uintptr_t>(word.data());
    }
  }
  // For a word followed by at least eight readable bytes: each part is one load, masked.
  struct WithSlack {};
  WordKey(std::string_view word, std::uint64_t word_hash, WithSlack)
      : hash(word_hash), size(static_cast<std::uint32_t>(word.size())) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
    head = WordHasher::read_tail<true>(bytes, word.size());
    if (word.size() > kInlineBytes) {
      rest = reinterpret_cast<std::uintptr_t>(word.data());
    } else if (word.size() > sizeof head) {
      rest = WordHasher::read_tail<true>(bytes + sizeof head, word.size() - sizeof head);
    }
  }

  bool is_inline() const { return size <= kInlineBytes; }
  // The word; for an inline word, a view of this key, valid while it stays where it is.
  std::string_view text() const {
    return {is_inline() ? reinterpret_cast<const char*>(&head) : reinterpret_cast<const char*>(rest), size};
  }

  std::uint64_t hash;
  std::uint64_t head = 0;
  std::uint64_t rest = 0;  // follows `head`: together the bytes of an inline word
  std::uint32_t size;
};

struct WordKeyHash {
  std::size_t operator()(const WordKey& key) const { return key.hash; }
};
struct WordKeyEqual {
  bool operator()(const WordKey& left, const WordKey& right) const {
    if (left.hash != right.hash || left.size != right.size || left.head != right.head) return false;
    if (left.is_inline()) return left.rest == right.rest;
    // The head held the first eight bytes; the rest is compared eight bytes at a time, the last
    // load ending at the word's end (overlapping bytes already compared), so that nothing is
    // read outside either word and no call is made.
    const auto* left_bytes = reinterpret_cast<const char*>(left.rest);
    const auto* right_bytes = reinterpret_cast<const char*>(right.rest);
    const std::size_t size = left.size;
    for (std::size_t offset = 8; offset + 8 < size; offset += 8) {
      if (load(left_bytes + offset) != load(right_bytes + offset)) return false;
    }
    return load(left_bytes + size - 8) == load(right_bytes + size - 8);
  }
  static std::uint64_t load(const char* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
};
static_assert(offsetof(WordKey, rest) == offsetof(WordKey, head) + sizeof(std::uint64_t));

// The distinct words seen so far with their counts and first occurrences. The table owns the
// bytes of its words: the short ones in their keys, the others in large chunks, so that a new
// word costs no allocation of its own; counting a word that is already present touches only the
// map. The views it hands out stay valid until the table changes.
class WordCountTable {
 public:
  // Words longer than this cannot be keys; no block holds one, since a block is cut below 4 GiB
  // of text per word only by the corpus itself.
  static constexpr std::size_t kLongestWord = 0xFFFFFFFFu;

  WordCountTable() = default;
  WordCountTable(WordCountTable&&) = default;
  WordCountTable& operator=(WordCountTable&&) = default;

  // One occurrence of `word` (whose hash is `hash`, from hasher()) at `where`; occurrences reach
  // a table in corpus order, so the first one recorded is the word's first occurrence.
  template <bool slack = false>
  void add_occurrence(std::string_view word, std::uint64_t hash, FirstOccurrence where) {
    const WordKey probe = slack ? WordKey(word, hash, WordKey::WithSlack{}) : WordKey(word, hash);
    auto entry = insert_or_forget(map_, [&] {
      return map_.lazy_emplace(probe,
                               [&](const auto& construct) { construct(stored_key(probe, word), WordStat{0, where}); });
    });
    ++entry->second.count;
  }
  void prefetch(std::uint64_t hash) const {
    // The map's probe starts from the hash alone, so any key carrying it finds the same slot.
    static constexpr char kNothing[1] = {};
    map_.prefetch(WordKey(std::string_view(kNothing), hash));
  }

  // `count` occurrences of `word`, the first at `first`; earlier first occurrences win.
  // Returns false when the count would overflow.
  bool add(std::string_view word, std::uint64_t count, FirstOccurrence first);

  // Adds every word of `other`, which is left empty.
  bool merge_from(WordCountTable&& other);

  std::size_t size() const { return map_.size(); }
  std::uint64_t total_word_bytes() const { return word_bytes_; }
  const WordHasher& hasher() const { return hasher_; }

  // The distinct words, ordered by first occurrence; the views live as long as the table.
  std::vector<CountedWord> in_order_of_first_occurrence() const;

  template <typename Visit>
  void for_each(Visit&& visit) const {
    for (const auto& [key, stat] : map_) visit(CountedWord{key.text(), stat});
  }

  // Work time spent on the blocks counted into this table, summed over blocks.
  std::uint64_t removal_ns = 0;
  std::uint64_t counting_ns = 0;

 private:
  std::string_view intern(std::string_view word);
  // The key to store for `word`, whose key as it stands in the text is `probe`.
  WordKey stored_key(const WordKey& probe, std::string_view word) {
    word_bytes_ += word.size();
    return probe.is_inline() ? probe : WordKey(intern(word), probe.hash);
  }

  WordHasher hasher_;
  absl::flat_hash_map<WordKey, WordStat, WordKeyHash, WordKeyEqual,
                      TrainingArrayAllocator<std::pair<const WordKey, WordStat>>>
      map_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* chunk_free_ = nullptr;
  std::size_t chunk_left_ = 0;
  std::uint64_t word_bytes_ = 0;
};

}  // namespace wrenmark
