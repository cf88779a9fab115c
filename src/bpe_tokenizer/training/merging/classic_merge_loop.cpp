#include "bpe_tokenizer/training/merging/classic_merge_loop.hpp"

#include <algorithm>
#include <string>

#include "bpe_tokenizer/io/training_report.hpp"
#include "bpe_tokenizer/training/merging/merge_loop.hpp"

namespace wrenmark {

namespace {

constexpr std::size_t kRecordLookahead = 16;
constexpr std::size_t kSymbolLookahead = 8;

Candidate candidate(PairKey key, std::uint64_t count) {
  const Pair pair = pair_from_key(key);
  return Candidate{count, pair.first, pair.second};
}

}  // namespace

ClassicMergeLoop::ClassicMergeLoop(WordTable& words, TrainingMonitor& monitor) : words_(words) {
  for (std::uint32_t word = 0; word < words.size(); ++word) {
    if (word % kWordsPerCheck == 0 && monitor.advance(0, true)) return;
    const std::uint64_t count = words.count(word);
    const bool is_long = words.is_long(word);
    // No merge has happened yet, so every slot is live and a pair's position is its slot.
    words.for_each_pair(word, [&](std::uint32_t position, TokenId first, TokenId second) {
      const PairKey key = pair_key(first, second);
      PairEntry& entry = pairs_[key];
      entry.count += count;
      if (is_long) {
        long_word_places_[key].push_back(occurrence(word, position));
      } else if (entry.short_words.empty() || entry.short_words.back() != word) {
        entry.short_words.push_back(word);
      }
    });
  }
  heap_.reserve(pairs_.size());
  for (const auto& [key, entry] : pairs_) heap_.push_back(candidate(key, entry.count));
  std::make_heap(heap_.begin(), heap_.end());
}

Status ClassicMergeLoop::run(Model& model, std::uint64_t target_vocab_size, TrainingMonitor& monitor) {
  const TokenTable& table = model.token_table;
  while (table.size() < target_vocab_size) {
    if (monitor.advance(1)) return TokenizerError::cancelled();
    Pair selected{};
    if (!pop_best(selected)) {
      training_report::print(kOutOfPairsMessage);
      break;
    }
    const Result<TokenId> learnt = model.learn_merge(selected);
    if (!learnt) return learnt.error();
    merge(selected, learnt.value());
    if (!counts_consistent_) return TokenizerError::internal_fault("a pair count fell below zero");
  }
  return {};
}

// Pops candidates until one carries its pair's current count, which must be above zero.
bool ClassicMergeLoop::pop_best(Pair& selected) {
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end());
    const Candidate best = heap_.back();
    heap_.pop_back();
    if (best.count == 0) continue;
    const auto found = pairs_.find(pair_key(best.first, best.second));
    if (found != pairs_.end() && found->second.count == best.count) {
      selected = Pair{best.first, best.second};
      return true;
    }
  }
  return false;
}

void ClassicMergeLoop::merge(Pair pair, TokenId merged) {
  first_ = pair.first;
  second_ = pair.second;
  merged_key_ = pair_key(pair);
  merged_ = merged;
  ++step_;  // steps count from 1, so that no entry starts out touched

  // Rewriting leaves no occurrence of the pair behind (the merged token differs from both of its
  // parts), so its count ends at zero: the entry goes now and its own updates are skipped.
  std::vector<std::uint32_t>& short_words = step_short_words_;
  short_words.clear();
  if (auto found = pairs_.find(merged_key_); found != pairs_.end()) {
    short_words.assign(found->second.short_words.begin(), found->second.short_words.end());
    pairs_.erase(found);
  }
  std::vector<Occurrence>& long_places = step_long_places_;
  long_places.clear();
  if (auto found = long_word_places_.find(merged_key_); found != long_word_places_.end()) {
    long_places.swap(found->second);
    long_word_places_.erase(found);
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
  std::sort(long_places.begin(), long_places.end());
  long_places.erase(std::unique(long_places.begin(), long_places.end()), long_places.end());
  for (const Occurrence place : long_places) rewrite_long_word_at(place);
  push_touched();
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

void ClassicMergeLoop::rewrite_long_word_at(Occurrence place) {
  const std::uint32_t word = occurrence_word(place);
  const std::uint32_t slot = occurrence_position(place);
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
    add_in_long_word(left, merged_, count, occurrence(word, before));
  }
  if (after_next != SymbolWindow::kNone) {
    const TokenId right = words_.symbol(word, after_next);
    subtract(second_, right, count);
    add_in_long_word(merged_, right, count, place);
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
  PairEntry& entry = pairs_[key];
  entry.count += amount;
  if (entry.short_words.empty() || entry.short_words.back() != word) entry.short_words.push_back(word);
  note_touched(key, entry);
}

void ClassicMergeLoop::add_in_long_word(TokenId first, TokenId second, std::uint64_t amount, Occurrence place) {
  const PairKey key = pair_key(first, second);
  PairEntry& entry = pairs_[key];
  entry.count += amount;
  note_touched(key, entry);
  long_word_places_[key].push_back(place);
}

void ClassicMergeLoop::note_touched(PairKey key, PairEntry& entry) {
  if (entry.touched_in_step == step_) return;
  entry.touched_in_step = step_;
  touched_.push_back(key);
}

// Pushes one candidate for every pair whose count changed in this step, carrying its count now.
// A pair whose count fell to zero is held by no word: its entry and place lists go.
void ClassicMergeLoop::push_touched() {
  for (const PairKey key : touched_) {
    const auto found = pairs_.find(key);
    if (found == pairs_.end()) continue;
    if (found->second.count == 0) {
      pairs_.erase(found);
      long_word_places_.erase(key);
      continue;
    }
    heap_.push_back(candidate(key, found->second.count));
    std::push_heap(heap_.begin(), heap_.end());
  }
  touched_.clear();
}

}  // namespace wrenmark
