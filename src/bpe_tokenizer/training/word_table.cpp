#include "training/word_table.hpp"

#include <algorithm>

namespace wrenmark {

WordTable::WordTable(std::vector<TokenId> symbols, std::vector<std::uint64_t> starts, std::vector<std::uint64_t> counts)
    : symbols_(std::move(symbols)), starts_(std::move(starts)), counts_(std::move(counts)) {
  lengths_.resize(counts_.size());
  long_index_of_.assign(counts_.size(), -1);
  for (std::size_t word = 0; word < counts_.size(); ++word) {
    lengths_[word] = static_cast<std::uint32_t>(starts_[word + 1] - starts_[word]);
    if (lengths_[word] > kLongWordLength) {
      long_index_of_[word] = static_cast<std::int32_t>(long_indexes_.size());
      long_indexes_.push_back(std::make_unique<LongWordIndex>(lengths_[word]));
    }
  }
}

std::uint32_t WordTable::next_slot(std::size_t word, std::uint32_t slot) const {
  if (slot == SymbolWindow::kNone) return SymbolWindow::kNone;
  if (const LongWordIndex* index = long_index(word)) return index->next(slot);
  return slot + 1 < lengths_[word] ? slot + 1 : SymbolWindow::kNone;
}

SymbolWindow WordTable::window(std::size_t word, std::uint32_t position) const {
  SymbolWindow result;
  const std::uint32_t length = lengths_[word];
  if (position >= length) return result;
  if (const LongWordIndex* index = long_index(word)) {
    result.at = index->slot_of(position);
    result.before = index->previous(result.at);
    result.after = index->next(result.at);
    result.after_next = result.after == SymbolWindow::kNone ? SymbolWindow::kNone : index->next(result.after);
    return result;
  }
  result.at = position;
  result.before = position > 0 ? position - 1 : SymbolWindow::kNone;
  result.after = position + 1 < length ? position + 1 : SymbolWindow::kNone;
  result.after_next = position + 2 < length ? position + 2 : SymbolWindow::kNone;
  return result;
}

void WordTable::merge(std::size_t word, const SymbolWindow& window, TokenId merged) {
  TokenId* symbols = symbols_.data() + starts_[word];
  symbols[window.at] = merged;
  if (long_index_of_[word] >= 0) {
    long_indexes_[static_cast<std::size_t>(long_index_of_[word])]->erase(window.after);
  } else {
    std::copy(symbols + window.after + 1, symbols + lengths_[word], symbols + window.after);
  }
  --lengths_[word];
}

}  // namespace wrenmark
