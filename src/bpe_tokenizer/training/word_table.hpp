#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/pair.hpp"
#include "training/long_word_index.hpp"

namespace wrenmark {

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
class WordTable {
 public:
  static constexpr std::uint32_t kLongWordLength = 256;

  // `starts` has one entry per word plus the end of the last word.
  WordTable(std::vector<TokenId> symbols, std::vector<std::uint64_t> starts, std::vector<std::uint64_t> counts);
  WordTable() = default;

  std::size_t size() const { return counts_.size(); }
  std::uint64_t count(std::size_t word) const { return counts_[word]; }
  std::uint32_t length(std::size_t word) const { return lengths_[word]; }
  TokenId symbol(std::size_t word, std::uint32_t slot) const { return symbols_[starts_[word] + slot]; }

  // The slots of the symbols at positions `position` - 1 to `position` + 2; `at` is kNone when
  // `position` is not a position of the word.
  SymbolWindow window(std::size_t word, std::uint32_t position) const;

  // Replaces the symbols in `window.at` and `window.after` by `merged`.
  void merge(std::size_t word, const SymbolWindow& window, TokenId merged);

  // Calls `visit(position, first, second)` for every adjacent pair of the word as it is now.
  template <typename Visit>
  void for_each_pair(std::size_t word, Visit&& visit) const {
    SymbolWindow cursor = window(word, 0);
    for (std::uint32_t position = 0; position + 1 < lengths_[word]; ++position) {
      visit(position, symbol(word, cursor.at), symbol(word, cursor.after));
      cursor.at = cursor.after;
      cursor.after = next_slot(word, cursor.at);
    }
  }

 private:
  std::uint32_t next_slot(std::size_t word, std::uint32_t slot) const;
  const LongWordIndex* long_index(std::size_t word) const {
    return long_index_of_[word] < 0 ? nullptr : long_indexes_[static_cast<std::size_t>(long_index_of_[word])].get();
  }

  std::vector<TokenId> symbols_;
  std::vector<std::uint64_t> starts_;
  std::vector<std::uint32_t> lengths_;
  std::vector<std::uint64_t> counts_;
  std::vector<std::int32_t> long_index_of_;
  std::vector<std::unique_ptr<LongWordIndex>> long_indexes_;
};

}  // namespace wrenmark
