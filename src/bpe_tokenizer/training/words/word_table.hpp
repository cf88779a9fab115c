#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"
#include "bpe_tokenizer/training/words/long_word_index.hpp"

namespace wrenmark {

// A place in the symbol array: a word's start plus a position, numbering every position a word can
// have, across all words, in word order. A word's places are its slots (its positions before any
// merge), so a short word's place also names the slot of the symbol at that position.
using Place = std::uint64_t;

// The symbols around one position of a word, as slots of the word's storage; kNone where the
// word has no such symbol.
struct SymbolWindow {
  static constexpr std::uint32_t kNone = LongWordIndex::kNone;
  std::uint32_t before = kNone;
  std::uint32_t at = kNone;
  std::uint32_t after = kNone;
  std::uint32_t after_next = kNone;
};

// The distinct words of the corpus as symbol sequences, in order of first occurrence. All
// sequences live back to back in one array, each word in its own range of slots. A merge deletes a
// symbol from its word: short words close the gap by shifting, long words keep their slots and
// track the live ones in a LongWordIndex.
//
// What the merge loop reads of a word besides its symbols (where they start, how many are live,
// its count) sits in one record, so that visiting a word costs one cache miss for the record and
// one for the symbols; the merge loop visits the words of a pair in index order and can prefetch
// both ahead of use.
class WordTable {
 public:
  static constexpr std::uint32_t kLongWordLength = 256;

  // `starts` has one entry per word plus the end of the last word.
  WordTable(HugePageVector<TokenId> symbols, const HugePageVector<std::uint64_t>& starts,
            const HugePageVector<std::uint64_t>& counts);
  WordTable() = default;

  std::size_t size() const { return words_.size(); }
  std::uint64_t count(std::size_t word) const { return words_[word].count; }
  std::uint32_t length(std::size_t word) const { return words_[word].length; }
  TokenId symbol(std::size_t word, std::uint32_t slot) const { return symbols_[words_[word].start + slot]; }

  // The default merge loop keys its occurrence listing by place.
  std::uint64_t place_count() const { return symbols_.size(); }
  Place place(std::size_t word, std::uint32_t position) const { return words_[word].start + position; }

  // The slots of the symbols at positions `position` - 1 to `position` + 2; `at` is kNone when
  // `position` is not a position of the word. Inline for the short words nearly all words are.
  SymbolWindow window(std::size_t word, std::uint32_t position) const {
    const WordRecord& record = words_[word];
    const std::uint32_t length = record.length;
    if (position >= length) return SymbolWindow{};
    if (record.long_index >= 0) return long_word_window(record, position);
    SymbolWindow result;
    result.at = position;
    result.before = position > 0 ? position - 1 : SymbolWindow::kNone;
    result.after = position + 1 < length ? position + 1 : SymbolWindow::kNone;
    result.after_next = position + 2 < length ? position + 2 : SymbolWindow::kNone;
    return result;
  }

  // The symbols of a word that no merge has touched yet, in order.
  const TokenId* unmerged_symbols(std::size_t word) const { return symbols_.data() + words_[word].start; }

  // Replaces the symbols in `window.at` and `window.after` by `merged`.
  void merge(std::size_t word, const SymbolWindow& window, TokenId merged);

  // Asks the processor to fetch the word's record, or its first symbols (whose place the record
  // tells, so the record should have been prefetched a little earlier). Always inlined: GCC takes
  // a function that only prefetches for one without effects and drops the calls.
  [[gnu::always_inline]] void prefetch_record(std::size_t word) const { __builtin_prefetch(&words_[word]); }
  [[gnu::always_inline]] void prefetch_symbols(std::size_t word) const {
    __builtin_prefetch(symbols_.data() + words_[word].start);
  }
  // The symbol slot at a place: for a short word the symbol at that position, for a long one
  // a guess near it.
  [[gnu::always_inline]] void prefetch_slot(Place place) const { __builtin_prefetch(symbols_.data() + place); }

  // Slot-level access for the merge loop that rewrites every occurrence of a pair. A short word
  // is rewritten in place as a whole and then given its new length; a long word is changed one
  // occurrence at a time, by slot, and a slot it no longer uses holds kNoSymbol.
  static constexpr TokenId kNoSymbol = UINT32_MAX;
  bool is_long(std::size_t word) const { return words_[word].long_index >= 0; }
  TokenId* short_word_symbols(std::size_t word) { return symbols_.data() + words_[word].start; }
  void set_short_word_length(std::size_t word, std::uint32_t length) { words_[word].length = length; }
  std::uint32_t next_slot(std::size_t word, std::uint32_t slot) const;
  std::uint32_t previous_slot(std::size_t word, std::uint32_t slot) const;
  // Replaces the symbols in `slot` and the live slot after it (which must exist) by `merged`.
  void merge_long_word_slots(std::size_t word, std::uint32_t slot, TokenId merged);

  // Calls `visit(position, first, second)` for every adjacent pair of the word as it is now.
  template <typename Visit>
  void for_each_pair(std::size_t word, Visit&& visit) const {
    SymbolWindow cursor = window(word, 0);
    for (std::uint32_t position = 0; position + 1 < words_[word].length; ++position) {
      visit(position, symbol(word, cursor.at), symbol(word, cursor.after));
      cursor.at = cursor.after;
      cursor.after = next_slot(word, cursor.at);
    }
  }

 private:
  struct WordRecord {
    std::uint64_t start;
    std::uint64_t count;
    std::uint32_t length;
    std::int32_t long_index;  // into long_indexes_, or -1 for a short word
  };

  SymbolWindow long_word_window(const WordRecord& record, std::uint32_t position) const;

  const LongWordIndex* long_index(const WordRecord& record) const {
    return record.long_index < 0 ? nullptr : long_indexes_[static_cast<std::size_t>(record.long_index)].get();
  }

  HugePageVector<TokenId> symbols_;
  HugePageVector<WordRecord> words_;
  std::vector<std::unique_ptr<LongWordIndex>> long_indexes_;
};

}  // namespace wrenmark
