#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// A pair as it stood for selection, with the count it had when it was pushed. The greater
// candidate wins: higher count, then higher first id, then higher second id. Stored models
// depend on this order.
struct Candidate {
  std::uint64_t count;
  TokenId first;
  TokenId second;

  static Candidate of(PairKey key, std::uint64_t count) {
    const Pair pair = pair_from_key(key);
    return Candidate{count, pair.first, pair.second};
  }
  Pair pair() const { return Pair{first, second}; }
  PairKey key() const { return pair_key(first, second); }

  // Compatibility: stored models rely on this order (docs/architecture.md).
  friend bool operator<(const Candidate& left, const Candidate& right) {
    if (left.count != right.count) return left.count < right.count;
    if (left.first != right.first) return left.first < right.first;
    return left.second < right.second;
  }
};

// A max-heap of candidates. A pair's count changes after it was pushed, so the merge driver
// pushes it again with the new count and takes a popped candidate only when its count is still
// the pair's own; the older candidates of the pair are passed over when they come up.
class CandidateHeap {
 public:
  // Replaces the heap's contents by `candidates`, given in any order.
  void assign(std::vector<Candidate>&& candidates) {
    heap_ = std::move(candidates);
    std::make_heap(heap_.begin(), heap_.end());
  }
  void push(Candidate candidate) {
    heap_.push_back(candidate);
    std::push_heap(heap_.begin(), heap_.end());
  }
  bool empty() const { return heap_.empty(); }
  // The greatest candidate, taken off the heap; the heap must not be empty.
  Candidate pop() {
    std::pop_heap(heap_.begin(), heap_.end());
    const Candidate best = heap_.back();
    heap_.pop_back();
    return best;
  }

 private:
  std::vector<Candidate> heap_;
};

}  // namespace wrenmark
