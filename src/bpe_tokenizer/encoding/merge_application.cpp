#include "encoding/merge_application.hpp"

#include <algorithm>
#include <limits>

namespace wrenmark {

namespace {

using Candidate = MergeWorkspace::Candidate;

constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();

// Orders the heap so that its front is the lowest rank, and of equal ranks the leftmost pair.
struct LaterCandidate {
  bool operator()(const Candidate& a, const Candidate& b) const {
    return a.rank != b.rank ? a.rank > b.rank : a.left > b.left;
  }
};

// The symbols of a word as a doubly linked list over their original positions. A merge keeps
// the left node and unlinks the right one, so list order is always position order and node 0
// is never removed.
class SymbolList {
 public:
  SymbolList(std::vector<TokenId>& symbols, MergeWorkspace& workspace)
      : symbols_(symbols), next_(workspace.next), previous_(workspace.previous), alive_(workspace.alive) {
    const auto count = static_cast<std::uint32_t>(symbols.size());
    next_.resize(count);
    previous_.resize(count);
    alive_.assign(count, 1);
    for (std::uint32_t node = 0; node < count; ++node) {
      next_[node] = node + 1 == count ? kNoNode : node + 1;
      previous_[node] = node == 0 ? kNoNode : node - 1;
    }
  }

  bool alive(std::uint32_t node) const { return alive_[node] != 0; }
  std::uint32_t next(std::uint32_t node) const { return next_[node]; }
  std::uint32_t previous(std::uint32_t node) const { return previous_[node]; }
  TokenId symbol(std::uint32_t node) const { return symbols_[node]; }

  // Whether `node` still starts the pair `pair`.
  bool starts_pair(std::uint32_t node, PairKey pair) const {
    return alive(node) && next_[node] != kNoNode && pair_key(symbols_[node], symbols_[next_[node]]) == pair;
  }

  // Replaces `left` and the node after it by one node holding `merged`.
  void merge(std::uint32_t left, TokenId merged) {
    const std::uint32_t right = next_[left];
    const std::uint32_t after = next_[right];
    symbols_[left] = merged;
    next_[left] = after;
    if (after != kNoNode) previous_[after] = left;
    alive_[right] = 0;
  }

  // Moves the remaining symbols, in order, to the front of the word.
  void compact() {
    std::size_t write = 0;
    for (std::uint32_t node = 0; node != kNoNode; node = next_[node]) symbols_[write++] = symbols_[node];
    symbols_.resize(write);
  }

 private:
  std::vector<TokenId>& symbols_;
  std::vector<std::uint32_t>& next_;
  std::vector<std::uint32_t>& previous_;
  std::vector<std::uint8_t>& alive_;
};

class CandidateHeap {
 public:
  explicit CandidateHeap(std::vector<Candidate>& storage) : heap_(storage) { heap_.clear(); }

  bool empty() const { return heap_.empty(); }
  const Candidate& top() const { return heap_.front(); }

  // Adds the pair starting at `left` when it has a rank.
  void offer(const SymbolList& list, const MergeTable& merges, std::uint32_t left) {
    if (left == kNoNode) return;
    const std::uint32_t right = list.next(left);
    if (right == kNoNode) return;
    const PairKey pair = pair_key(list.symbol(left), list.symbol(right));
    auto found = merges.find(pair);
    if (found == merges.end()) return;
    push(Candidate{found->second.rank, left, pair});
  }

  void push(const Candidate& candidate) {
    heap_.push_back(candidate);
    std::push_heap(heap_.begin(), heap_.end(), LaterCandidate{});
  }

  Candidate pop() {
    std::pop_heap(heap_.begin(), heap_.end(), LaterCandidate{});
    const Candidate candidate = heap_.back();
    heap_.pop_back();
    return candidate;
  }

  void heapify() { std::make_heap(heap_.begin(), heap_.end(), LaterCandidate{}); }
  void add_unordered(const Candidate& candidate) { heap_.push_back(candidate); }

 private:
  std::vector<Candidate>& heap_;
};

}  // namespace

void apply_merges_by_rescanning(std::vector<TokenId>& symbols, const MergeTable& merges) {
  while (symbols.size() >= 2) {
    const MergeStep* lowest = nullptr;
    std::size_t lowest_position = 0;
    for (std::size_t position = 0; position + 1 < symbols.size(); ++position) {
      auto found = merges.find(pair_key(symbols[position], symbols[position + 1]));
      if (found != merges.end() && (lowest == nullptr || found->second.rank < lowest->rank)) {
        lowest = &found->second;
        lowest_position = position;
      }
    }
    if (lowest == nullptr || !lowest->has_merged) return;

    // No occurrence of the chosen pair lies before its leftmost lowest-ranked position.
    const TokenId first = symbols[lowest_position];
    const TokenId second = symbols[lowest_position + 1];
    const std::size_t size = symbols.size();
    std::size_t write = lowest_position;
    std::size_t read = lowest_position;
    while (read < size) {
      if (read + 1 < size && symbols[read] == first && symbols[read + 1] == second) {
        symbols[write++] = lowest->merged;
        read += 2;
      } else {
        symbols[write++] = symbols[read++];
      }
    }
    symbols.resize(write);
  }
}

// Each round takes the lowest-ranked pair, collects every position that holds that same pair
// when the round starts, and merges them left to right, skipping a position whose left symbol an
// earlier merge of the round consumed. Pairs formed by the round's merges enter the heap but
// wait for the next round, which is exactly what a full rescan after the round would see. Heap
// entries are never removed when a merge changes their pair; they are recognised as stale when
// they come to the top.
void apply_merges_with_heap(std::vector<TokenId>& symbols, const MergeTable& merges, MergeWorkspace& workspace) {
  if (symbols.size() < 2) return;
  if (symbols.size() >= kNoNode) {
    apply_merges_by_rescanning(symbols, merges);
    return;
  }
  SymbolList list(symbols, workspace);
  CandidateHeap heap(workspace.heap);
  const auto count = static_cast<std::uint32_t>(symbols.size());
  for (std::uint32_t left = 0; left + 1 < count; ++left) {
    auto found = merges.find(pair_key(symbols[left], symbols[left + 1]));
    if (found != merges.end()) {
      heap.add_unordered(Candidate{found->second.rank, left, pair_key(symbols[left], symbols[left + 1])});
    }
  }
  heap.heapify();

  std::vector<std::uint32_t>& round = workspace.round;
  std::vector<Candidate>& deferred = workspace.deferred;
  while (true) {
    bool found_lowest = false;
    Candidate lowest{};
    while (!heap.empty()) {
      const Candidate candidate = heap.pop();
      if (list.starts_pair(candidate.left, candidate.pair)) {
        lowest = candidate;
        found_lowest = true;
        break;
      }
    }
    if (!found_lowest) break;
    const MergeStep& step = merges.find(lowest.pair)->second;
    if (!step.has_merged) break;

    // Other pairs can share the rank only in an inconsistent model; they wait for a later round.
    round.assign(1, lowest.left);
    deferred.clear();
    while (!heap.empty() && heap.top().rank == lowest.rank) {
      const Candidate candidate = heap.pop();
      if (!list.starts_pair(candidate.left, candidate.pair)) continue;
      if (candidate.pair != lowest.pair) {
        deferred.push_back(candidate);
      } else if (candidate.left != round.back()) {
        round.push_back(candidate.left);
      }
    }

    for (const std::uint32_t left : round) {
      if (!list.alive(left)) continue;
      list.merge(left, step.merged);
      heap.offer(list, merges, list.previous(left));
      heap.offer(list, merges, left);
    }
    for (const Candidate& candidate : deferred) heap.push(candidate);
  }
  list.compact();
}

void apply_merges(std::vector<TokenId>& symbols, const MergeTable& merges, MergeWorkspace& workspace) {
  if (symbols.size() <= kRescanMaxSymbols) {
    apply_merges_by_rescanning(symbols, merges);
  } else {
    apply_merges_with_heap(symbols, merges, workspace);
  }
}

}  // namespace wrenmark
