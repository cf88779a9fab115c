#include "bpe_tokenizer/training/merging/classic_merge_loop.hpp"

#include <algorithm>

#include "bpe_tokenizer/training/merging/merge_driver.hpp"

namespace wrenmark {

namespace {

constexpr std::size_t kRecordLookahead = 16;
constexpr std::size_t kSymbolLookahead = 8;

}  // namespace

Status ClassicMergeLoop::merge(Pair pair, ChosenPair chosen, TokenId joined, CandidateHeap& candidates) {
  first_ = pair.first;
  second_ = pair.second;
  merged_key_ = pair_key(pair);
  merged_ = joined;
  ++step_;  // steps count from 1, so that no entry starts out touched

  // Rewriting leaves no occurrence of the pair behind (the merged token differs from both of its
  // parts), so its count ends at zero: the entry goes now and its own updates are skipped.
  std::vector<std::uint32_t>& short_words = step_short_words_;
  short_words.assign(chosen->second.short_words.begin(), chosen->second.short_words.end());
  pairs_.erase(chosen);
  std::vector<Occurrence>& long_occurrences = step_long_occurrences_;
  long_occurrences.clear();
  if (auto found = long_word_occurrences_.find(merged_key_); found != long_word_occurrences_.end()) {
    long_occurrences.swap(found->second);
    long_word_occurrences_.erase(found);
  }

  // The words lie scattered over the table and waiting for them is most of a step's time: each
  // word's record, then its symbols (whose place the record tells), are fetched ahead of use.
  for (std::size_t index = 0; index < short_words.size(); ++index) {
    if (index + kRecordLookahead < short_words.size()) words_.prefetch_record(short_words[index + kRecordLookahead]);
    if (index + kSymbolLookahead < short_words.size()) words_.prefetch_symbols(short_words[index + kSymbolLookahead]);
    rewrite_short_word(short_words[index]);
  }
  // Within a long word the rewrite goes left to right: a run x x x merged on (x, x) must give
  // N x, and the slot that the first merge consumes is then skipped as no longer live.
  std::sort(long_occurrences.begin(), long_occurrences.end());
  long_occurrences.erase(std::unique(long_occurrences.begin(), long_occurrences.end()), long_occurrences.end());
  for (const Occurrence occurrence : long_occurrences) rewrite_long_word_at(occurrence);
  push_touched(candidates);
  if (!counts_consistent_) return TokenizerError::internal_fault("a pair count fell below zero");
  return {};
}

void ClassicMergeLoop::rewrite_short_word(std::uint32_t word) {
  TokenId* symbols = words_.short_word_symbols(word);
  const std::uint32_t length = words_.length(word);
  std::uint32_t read = 0;
  while (read + 1 < length && (symbols[read] != first_ || symbols[read + 1] != second_)) ++read;
  if (read + 1 >= length) return;  // the word no longer holds the pair

  // Each occurrence is one local change, [L] a b [R] -> [L] N [R], read on the word as rewritten
  // so far: L is the last symbol written, R the next one still unread.
  const std::uint64_t count = words_.count(word);
  std::uint32_t write = read;
  while (read < length) {
    if (read + 1 < length && symbols[read] == first_ && symbols[read + 1] == second_) {
      if (write > 0) {
        const TokenId left = symbols[write - 1];
        subtract(left, first_, count);
        add_in_short_word(left, merged_, count, word);
      }
      if (read + 2 < length) {
        const TokenId right = symbols[read + 2];
        subtract(second_, right, count);
        add_in_short_word(merged_, right, count, word);
      }
      symbols[write++] = merged_;
      read += 2;
    } else {
      symbols[write++] = symbols[read++];
    }
  }
  words_.set_short_word_length(word, write);
}

void ClassicMergeLoop::rewrite_long_word_at(Occurrence occurrence) {
  const std::uint32_t word = occurrence.word;
  const std::uint32_t slot = occurrence.slot;
  // A slot that an earlier merge consumed holds no symbol; one that changed holds another.
  if (words_.symbol(word, slot) != first_) return;
  const std::uint32_t after = words_.next_slot(word, slot);
  if (after == SymbolWindow::kNone || words_.symbol(word, after) != second_) return;

  const std::uint64_t count = words_.count(word);
  const std::uint32_t before = words_.previous_slot(word, slot);
  const std::uint32_t after_next = words_.next_slot(word, after);
  if (before != SymbolWindow::kNone) {
    const TokenId left = words_.symbol(word, before);
    subtract(left, first_, count);
    add_in_long_word(left, merged_, count, Occurrence{word, before});
  }
  if (after_next != SymbolWindow::kNone) {
    const TokenId right = words_.symbol(word, after_next);
    subtract(second_, right, count);
    add_in_long_word(merged_, right, count, occurrence);
  }
  words_.merge_long_word_slots(word, slot, merged_);
}

void ClassicMergeLoop::subtract(TokenId first, TokenId second, std::uint64_t amount) {
  const PairKey key = pair_key(first, second);
  if (key == merged_key_) return;
  const auto found = pairs_.find(key);
  if (found == pairs_.end() || found->second.count < amount) {
    counts_consistent_ = false;
    return;
  }
  found->second.count -= amount;
  note_touched(key, found->second);
}

void ClassicMergeLoop::add_in_short_word(TokenId first, TokenId second, std::uint64_t amount, std::uint32_t word) {
  const PairKey key = pair_key(first, second);
  PairEntry& entry = entry_of(key);
  entry.count += amount;
  if (entry.short_words.empty() || entry.short_words.back() != word) entry.short_words.push_back(word);
  note_touched(key, entry);
}

void ClassicMergeLoop::add_in_long_word(TokenId first, TokenId second, std::uint64_t amount, Occurrence occurrence) {
  const PairKey key = pair_key(first, second);
  PairEntry& entry = entry_of(key);
  entry.count += amount;
  note_touched(key, entry);
  long_occurrences_of(key).push_back(occurrence);
}

void ClassicMergeLoop::note_touched(PairKey key, PairEntry& entry) {
  if (entry.touched_in_step == step_) return;
  entry.touched_in_step = step_;
  touched_.push_back(key);
}

// Pushes one candidate for every pair whose count changed in this step, carrying its count now.
// A pair whose count fell to zero is held by no word: its entry and occurrence lists go.
void ClassicMergeLoop::push_touched(CandidateHeap& candidates) {
  for (const PairKey key : touched_) {
    const auto found = pairs_.find(key);
    if (found == pairs_.end()) continue;
    if (found->second.count == 0) {
      pairs_.erase(found);
      long_word_occurrences_.erase(key);
      continue;
    }
    candidates.push(Candidate::of(key, found->second.count));
  }
  touched_.clear();
}

}  // namespace wrenmark
