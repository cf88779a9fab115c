#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe_tokenizer/system/huge_page_allocator.hpp"
#include "bpe_tokenizer/system/twin_arrays.hpp"
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
// In training memory, like the arrays made from it: the counting table's pages, freed, become
// theirs without the kernel faulting in and zeroing fresh ones.
using CountedWords = HugePageVector<CountedWord>;

// The distinct words seen so far with their counts and first occurrences, in an open-addressing
// table of its own kind: a 32-byte slot holds a word's length, 32 bits of its hash, its first
// sixteen bytes and its count, so that counting a word that is present reads one cache line,
// found from the hash alone (and so prefetched while the words before it are counted). A longer
// word keeps the address of its bytes, which the table owns in large chunks, in place of the
// bytes past the eighth; the first occurrences lie in an array beside the slots, read only when
// a word is added. The views the table hands out stay valid until it changes.
class WordCountTable {
 public:
  // Words longer than this cannot be keys; no block holds one, since a block is cut below 4 GiB
  // of text per word only by the corpus itself.
  static constexpr std::size_t kLongestWord = 0xFFFFFFFFu;

  WordCountTable() = default;
  WordCountTable(WordCountTable&&) = default;
  WordCountTable& operator=(WordCountTable&&) = default;

  // One occurrence of `word` (whose hash is `hash`, from hasher()) at `where`; occurrences reach
  // a table in corpus order, so the first one recorded is the word's first occurrence. With
  // `slack`, eight bytes after the word may be read.
  template <bool slack = false>
  void add_occurrence(std::string_view word, std::uint64_t hash, FirstOccurrence where) {
    const Key key = Key::of<slack>(word, hash);
    if (arrays_.empty()) [[unlikely]] {
      grow();
    }
    const std::size_t start = home(hash);
    Slot& at_home = slots()[start];
    if (at_home.holds(key)) {
      ++at_home.count;
      return;
    }
    std::size_t index = start;
    if (!at_home.empty()) {
      for (index = next(start);; index = next(index)) {
        Slot& slot = slots()[index];
        if (slot.holds(key)) {
          // A word found past its home slot takes it from a rarer one, so that the frequent
          // words settle where the prefetch looks and most lookups read a single slot.
          if (++slot.count > at_home.count) swap_slots(start, index);
          return;
        }
        if (slot.empty()) break;
      }
    }
    insert_new(stored(key, word), 1, where, index);
  }
  void prefetch(std::uint64_t hash) const {
    if (!arrays_.empty()) __builtin_prefetch(&slots()[home(hash)]);
  }

  // `count` occurrences of `word`, the first at `first`; earlier first occurrences win.
  // Returns false when the count would overflow.
  bool add(std::string_view word, std::uint64_t count, FirstOccurrence first);

  // Adds every word of `other`, which is left empty.
  bool merge_from(WordCountTable&& other);

  std::size_t size() const { return size_; }
  std::uint64_t total_word_bytes() const { return word_bytes_; }
  const WordHasher& hasher() const { return hasher_; }

  // The distinct words, ordered by first occurrence; the views live as long as the table.
  CountedWords in_order_of_first_occurrence() const;

  // The distinct words in no particular order (see for_each_slot).
  template <typename Visit>
  void for_each(Visit&& visit) const {
    for_each_slot([&](std::size_t index) {
      visit(CountedWord{slots()[index].text(), WordStat{slots()[index].count, firsts()[index]}});
    });
  }

  // Work time spent on the blocks counted into this table, summed over blocks.
  std::uint64_t removal_ns = 0;
  std::uint64_t counting_ns = 0;

 private:
  static constexpr std::size_t kInlineBytes = 16;

  // What tells a word apart: a slot's key, or a word's as it stands in the text (then a long
  // word's `rest` is the address of its bytes there).
  struct Key {
    std::uint64_t head = 0;  // the first eight bytes
    std::uint64_t rest = 0;  // the next eight (zero-padded) of a short word, or a long word's address
    std::uint32_t size = 0;
    std::uint32_t tag = 0;  // the hash's top 32 bits

    // A long word's address, kept in `rest` as its bits.
    static std::uint64_t address_bits(std::string_view word) { return std::bit_cast<std::uint64_t>(word.data()); }
    const char* address() const { return std::bit_cast<const char*>(rest); }

    template <bool slack>
    static Key of(std::string_view word, std::uint64_t hash) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
      Key key;
      key.size = static_cast<std::uint32_t>(word.size());
      key.tag = static_cast<std::uint32_t>(hash >> 32);
      if (word.size() > kInlineBytes) {
        key.head = WordHasher::read_tail<true>(bytes, 8);
        key.rest = address_bits(word);
      } else if (word.size() > 8) {
        key.head = WordHasher::read_tail<true>(bytes, 8);
        key.rest = WordHasher::read_tail<slack>(bytes + 8, word.size() - 8);
      } else {
        key.head = WordHasher::read_tail<slack>(bytes, word.size());
      }
      return key;
    }
  };

  struct alignas(32) Slot {
    Key key;  // size 0: empty, since no word is
    std::uint64_t count = 0;

    bool empty() const { return key.size == 0; }
    bool holds(const Key& probe) const {
      if (((key.head ^ probe.head) |
           (static_cast<std::uint64_t>(key.size ^ probe.size) << 32 | (key.tag ^ probe.tag))) != 0) {
        return false;
      }
      if (key.size <= kInlineBytes) return key.rest == probe.rest;
      return same_long_word(key, probe);
    }
    std::string_view text() const {
      const char* bytes = key.size <= kInlineBytes ? reinterpret_cast<const char*>(&key.head) : key.address();
      return {bytes, key.size};
    }
  };
  static_assert(sizeof(Slot) == 32);
  static_assert(sizeof(const char*) == sizeof(std::uint64_t));
  static_assert(offsetof(Key, rest) == offsetof(Key, head) + 8, "a short word's bytes lie in head and rest");

  // Calls `visit(index)` for every filled slot: runs of kRunSlots slots in turn, the runs in an
  // order that strides across the table. A table that takes the words in this order (merging, or
  // reading a saved table) gets them spread over its slots: in slot order, which is the order of
  // their homes, a smaller table would pile them into one run that every next word walks to its
  // end. Within a run the slots are read in order, so the walk stays cache-friendly.
  template <typename Visit>
  void for_each_slot(Visit&& visit) const {
    static constexpr std::size_t kRunSlots = 64;
    const std::size_t runs = arrays_.size() / kRunSlots;
    if (runs <= 1) {
      for (std::size_t index = 0; index < arrays_.size(); ++index) {
        if (!slots()[index].empty()) visit(index);
      }
      return;
    }
    // Odd, so that the multiples of it modulo the power of two `runs` visit every run once.
    const std::size_t stride = (runs * 5 / 8) | 1;
    for (std::size_t step = 0, run = 0; step < runs; ++step, run = (run + stride) & (runs - 1)) {
      for (std::size_t index = run * kRunSlots; index < (run + 1) * kRunSlots; ++index) {
        if (!slots()[index].empty()) visit(index);
      }
    }
  }

  // Bytes 8 to the end of two long words of one size, whose first eight bytes are equal.
  static bool same_long_word(const Key& left, const Key& right);

  std::size_t home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }
  std::size_t next(std::size_t index) const { return (index + 1) & (arrays_.size() - 1); }
  std::size_t home_of(const Key& key) const { return static_cast<std::size_t>(key.tag) >> (shift_ - 32); }

  // The key to store for `word`, whose key as it stands in the text is `key`.
  Key stored(const Key& key, std::string_view word) {
    Key kept = key;
    if (key.size > kInlineBytes) kept.rest = Key::address_bits(intern(word));
    return kept;
  }
  // Puts a stored key found absent at `index` there (or, when the table grows first, where it
  // goes then).
  void insert_new(const Key& key, std::uint64_t count, FirstOccurrence first, std::size_t index);
  // Exchanges the words of slot `home` and slot `later`, where the word at `later` has its home
  // and there are no empty slots between them: both words are still found, the one moved to
  // `later` since its own home is at `home` or before it.
  void swap_slots(std::size_t home, std::size_t later) {
    std::swap(slots()[home], slots()[later]);
    std::swap(firsts()[home], firsts()[later]);
  }
  // `count` occurrences of the word of `key` (a key as it stands in the text or another table's),
  // the first at `first`; a new word is stored under `stored_key()`. False when the count would
  // overflow.
  template <typename StoredKey>
  bool add_counted(const Key& key, std::uint64_t count, FirstOccurrence first, StoredKey&& stored_key);
  // The slot holding `key`, or the empty one where it would go.
  std::size_t find(const Key& key) const;
  void grow();
  std::string_view intern(std::string_view word);
  Slot* slots() const { return arrays_.first(); }
  FirstOccurrence* firsts() const { return arrays_.second(); }

  WordHasher hasher_;
  TwinArrays<Slot, FirstOccurrence> arrays_;
  std::size_t size_ = 0;
  int shift_ = 64;
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* chunk_free_ = nullptr;
  std::size_t chunk_left_ = 0;
  std::uint64_t word_bytes_ = 0;
};

}  // namespace wrenmark
