#include "bpe_tokenizer/training/words/word_table.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "bpe_tokenizer/system/worker_pool.hpp"

namespace wrenmark {

WordTable::WordTable(HugePageVector<TokenId> symbols, const HugePageVector<std::uint64_t>& starts,
                     const HugePageVector<std::uint64_t>& counts)
    : symbols_(std::move(symbols)) {
  const std::size_t word_count = counts.size();
  words_.resize(word_count);
  // The records are filled in ranges side by side; each range notes its long words, whose
  // indexes are then numbered in word order.
  static constexpr std::size_t kRanges = 64;
  std::array<std::vector<std::uint32_t>, kRanges> long_words;
  parallel_numbered_ranges(word_count, kRanges, [&](std::size_t range, std::size_t begin, std::size_t end) {
    for (std::size_t word = begin; word < end; ++word) {
      WordRecord& record = words_[word];
      record.start = starts[word];
      record.count = counts[word];
      record.length = static_cast<std::uint32_t>(starts[word + 1] - starts[word]);
      record.long_index = -1;
      if (record.length > kLongWordLength) long_words[range].push_back(static_cast<std::uint32_t>(word));
    }
  });
  for (const std::vector<std::uint32_t>& range_long_words : long_words) {
    for (const std::uint32_t word : range_long_words) {
      WordRecord& record = words_[word];
      record.long_index = static_cast<std::int32_t>(long_indexes_.size());
      long_indexes_.push_back(std::make_unique<LongWordIndex>(record.length));
    }
  }
}

std::uint32_t WordTable::next_slot(std::size_t word, std::uint32_t slot) const {
  if (slot == SymbolWindow::kNone) return SymbolWindow::kNone;
  const WordRecord& record = words_[word];
  if (const LongWordIndex* index = long_index(record)) return index->next(slot);
  return slot + 1 < record.length ? slot + 1 : SymbolWindow::kNone;
}

std::uint32_t WordTable::previous_slot(std::size_t word, std::uint32_t slot) const {
  if (slot == SymbolWindow::kNone) return SymbolWindow::kNone;
  if (const LongWordIndex* index = long_index(words_[word])) return index->previous(slot);
  return slot > 0 ? slot - 1 : SymbolWindow::kNone;
}

void WordTable::merge_long_word_slots(std::size_t word, std::uint32_t slot, TokenId merged) {
  WordRecord& record = words_[word];
  LongWordIndex& index = *long_indexes_[static_cast<std::size_t>(record.long_index)];
  const std::uint32_t after = index.next(slot);
  symbols_[record.start + slot] = merged;
  symbols_[record.start + after] = kNoSymbol;
  index.erase(after);
  --record.length;
}

SymbolWindow WordTable::long_word_window(const WordRecord& record, std::uint32_t position) const {
  const LongWordIndex& index = *long_index(record);
  SymbolWindow result;
  result.at = index.slot_of(position);
  result.before = index.previous(result.at);
  result.after = index.next(result.at);
  result.after_next = result.after == SymbolWindow::kNone ? SymbolWindow::kNone : index.next(result.after);
  return result;
}

void WordTable::merge(std::size_t word, const SymbolWindow& window, TokenId merged) {
  WordRecord& record = words_[word];
  TokenId* symbols = symbols_.data() + record.start;
  symbols[window.at] = merged;
  if (record.long_index >= 0) {
    long_indexes_[static_cast<std::size_t>(record.long_index)]->erase(window.after);
  } else {
    std::copy(symbols + window.after + 1, symbols + record.length, symbols + window.after);
  }
  --record.length;
}

}  // namespace wrenmark
