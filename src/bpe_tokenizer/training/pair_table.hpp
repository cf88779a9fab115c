#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// Where a pair occurs: word index in the high half, symbol position in the low half.
using Occurrence = std::uint64_t;
constexpr Occurrence occurrence(std::uint64_t word, std::uint64_t position) { return (word << 32) | position; }
constexpr std::uint32_t occurrence_word(Occurrence value) { return static_cast<std::uint32_t>(value >> 32); }
constexpr std::uint32_t occurrence_position(Occurrence value) { return static_cast<std::uint32_t>(value); }

// A merge candidate; the greater candidate wins: higher count, then higher first id, then
// higher second id.
struct Candidate {
  std::uint64_t count;
  TokenId first;
  TokenId second;

  friend bool operator<(const Candidate& left, const Candidate& right) {
    if (left.count != right.count) return left.count < right.count;
    if (left.first != right.first) return left.first < right.first;
    return left.second < right.second;
  }
};

// The weighted count and the recorded occurrences of every pair, kept in one map so that one
// lookup serves both. A pair may have a count without occurrences and occurrences without a
// count; the flags say which of the two it has.
struct PairState {
  std::uint64_t count = 0;
  bool counted = false;
  bool has_occurrences = false;
  absl::flat_hash_set<Occurrence> occurrences;
};

class PairTable {
 public:
  PairState* find(PairKey key) {
    auto found = pairs_.find(key);
    return found == pairs_.end() ? nullptr : &found->second;
  }

  void add_count(PairKey key, std::uint64_t amount) {
    PairState& state = pairs_[key];
    state.counted = true;
    state.count += amount;
    touched_.push_back(key);
  }
  // Lowers a count, never below zero; a pair without a count is left alone.
  void subtract_count(PairKey key, std::uint64_t amount) {
    PairState* state = find(key);
    if (state == nullptr || !state->counted) return;
    state->count = state->count > amount ? state->count - amount : 0;
    touched_.push_back(key);
  }
  void add_occurrence(PairKey key, Occurrence value) {
    PairState& state = pairs_[key];
    state.has_occurrences = true;
    state.occurrences.insert(value);
  }
  // Creates the occurrence set of `key` with room for `expected` entries.
  void reserve_occurrences(PairKey key, std::size_t expected) {
    PairState& state = pairs_[key];
    state.has_occurrences = true;
    state.occurrences.reserve(expected);
  }
  // The occurrence set of a pair that has one. Distinct pairs' sets may be filled from different
  // threads as long as no pair is added or removed meanwhile.
  absl::flat_hash_set<Occurrence>& occurrences_of(PairKey key) { return pairs_.find(key)->second.occurrences; }
  void prefetch_state(PairKey key) const { pairs_.prefetch(key); }
  void remove_occurrence(PairKey key, Occurrence value) {
    PairState* state = find(key);
    if (state != nullptr && state->has_occurrences) state->occurrences.erase(value);
  }
  void forget_count(PairKey key) {
    PairState* state = find(key);
    if (state == nullptr) return;
    state->counted = false;
    state->count = 0;
    erase_if_empty(key, *state);
  }
  void forget_occurrences(PairKey key) {
    PairState* state = find(key);
    if (state == nullptr) return;
    state->has_occurrences = false;
    absl::flat_hash_set<Occurrence>().swap(state->occurrences);
    erase_if_empty(key, *state);
  }

  // Puts every counted pair on the heap once.
  void seed_heap() {
    heap_.clear();
    heap_.reserve(pairs_.size());
    for (const auto& [key, state] : pairs_) {
      if (state.counted) heap_.push_back({state.count, pair_from_key(key).first, pair_from_key(key).second});
    }
    std::make_heap(heap_.begin(), heap_.end());
    touched_.clear();
  }

  // Pushes one candidate for every pair whose count changed since the last call, carrying its
  // current count. Intermediate counts within one merge step are never the current count at a
  // later pop unless the count returns to that value, and then this push covers it.
  void push_touched() {
    std::sort(touched_.begin(), touched_.end());
    touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
    for (const PairKey key : touched_) {
      const PairState* state = find(key);
      if (state == nullptr || !state->counted) continue;
      heap_.push_back({state->count, pair_from_key(key).first, pair_from_key(key).second});
      std::push_heap(heap_.begin(), heap_.end());
    }
    touched_.clear();
  }

  // Pops candidates until one carries its pair's current count; false when the heap runs dry.
  bool pop_best(Pair& selected) {
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end());
      const Candidate candidate = heap_.back();
      heap_.pop_back();
      const PairState* state = find(pair_key(candidate.first, candidate.second));
      if (state != nullptr && state->counted && state->count == candidate.count) {
        selected = Pair{candidate.first, candidate.second};
        return true;
      }
    }
    return false;
  }

 private:
  void erase_if_empty(PairKey key, const PairState& state) {
    if (!state.counted && !state.has_occurrences) pairs_.erase(key);
  }

  absl::flat_hash_map<PairKey, PairState> pairs_;
  std::vector<Candidate> heap_;
  std::vector<PairKey> touched_;
};

}  // namespace wrenmark
