#include "bpe_tokenizer/encoding/word_merger.hpp"

#include <algorithm>
#include <functional>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/encoding/short_word_merge.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

// Buffers reused across the words of one caller.
struct WordMerger::Workspace {
  // An adjacent pair of a word: the node of its left symbol and the pair it held when queued.
  struct QueuedPair {
    std::uint32_t left;
    PairKey pair;
  };
  // The queued pairs of one rank.
  struct Bucket {
    std::vector<QueuedPair> queued_pairs;
    bool queued = false;
  };

  // For short words: the ranked merge of the pair at every position (through the general map,
  // or as values of the flat index), and where a round merged.
  std::vector<const RankedMerge*> pair_merges;
  std::vector<MergeStep> pair_steps;
  std::vector<std::size_t> merged_positions;

  // For long words: the symbols as a linked list, and their pairs queued by rank.
  std::vector<std::uint32_t> next;
  std::vector<std::uint32_t> previous;
  std::vector<std::uint8_t> alive;
  absl::flat_hash_map<std::uint64_t, Bucket> buckets;
  std::vector<std::uint64_t> queued_ranks;
  std::vector<QueuedPair> round;
};

namespace {

using MergeWorkspace = WordMerger::Workspace;

// The ranked merge of a pair, or nullptr, through the general map; the flat index of encoding
// answers the same as a value, ranking pairs by their places among the ranks, which order them
// the same.
const RankedMerge* merge_of(const MergeTable& merges, PairKey pair) {
  auto found = merges.find(pair);
  return found == merges.end() ? nullptr : &found->second;
}
MergeStep merge_of(const PairMergeIndex& merges, PairKey pair) { return merges.find(pair); }

// What the mergers read of either answer.
bool is_ranked(const RankedMerge* merge) { return merge != nullptr; }
bool is_ranked(const MergeStep& merge) { return merge.ranked; }
const RankedMerge& step_of(const RankedMerge* merge) { return *merge; }
MergeStep step_of(const MergeStep& merge) { return merge; }
std::vector<const RankedMerge*>& pair_merges_of(MergeWorkspace& workspace, const MergeTable&) {
  return workspace.pair_merges;
}
std::vector<MergeStep>& pair_merges_of(MergeWorkspace& workspace, const PairMergeIndex&) {
  return workspace.pair_steps;
}
using QueuedPair = MergeWorkspace::QueuedPair;

// Words with at most this many symbols are merged by rescanning the whole word for the lowest
// rank after every merge; longer ones queue their adjacent pairs by rank so that the work stays
// close to linear in the word's length. Both give the same result.
constexpr std::size_t kRescanMaxSymbols = kShortWordMaxSymbols;

constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();

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

// Occurrences of ranked pairs, grouped by rank, with a heap over the ranks that have any. A
// whole rank is taken out at once; pairs queued while it is being worked on wait in a
// fresh bucket of their rank.
class RankQueue {
 public:
  explicit RankQueue(MergeWorkspace& workspace) : buckets_(workspace.buckets), ranks_(workspace.queued_ranks) {
    for (auto& [rank, bucket] : buckets_) {
      bucket.queued_pairs.clear();
      bucket.queued = false;
    }
    ranks_.clear();
  }

  void add(std::uint64_t rank, const QueuedPair& queued) {
    MergeWorkspace::Bucket& bucket = buckets_[rank];
    bucket.queued_pairs.push_back(queued);
    if (!bucket.queued) {
      bucket.queued = true;
      ranks_.push_back(rank);
      std::push_heap(ranks_.begin(), ranks_.end(), std::greater<>{});
    }
  }

  // Queues the pair starting at `left` when it has a rank.
  template <typename Merges>
  void offer(const SymbolList& list, const Merges& merges, std::uint32_t left) {
    if (left == kNoNode) return;
    const std::uint32_t right = list.next(left);
    if (right == kNoNode) return;
    const PairKey pair = pair_key(list.symbol(left), list.symbol(right));
    if (const auto merge = merge_of(merges, pair); is_ranked(merge)) add(step_of(merge).rank, QueuedPair{left, pair});
  }

  // Moves the pairs of the lowest queued rank into `taken`, in position order.
  bool take_lowest(std::uint64_t& rank, std::vector<QueuedPair>& taken) {
    if (ranks_.empty()) return false;
    std::pop_heap(ranks_.begin(), ranks_.end(), std::greater<>{});
    rank = ranks_.back();
    ranks_.pop_back();
    MergeWorkspace::Bucket& bucket = buckets_.find(rank)->second;
    taken.clear();
    taken.swap(bucket.queued_pairs);
    bucket.queued = false;
    auto by_position = [](const QueuedPair& a, const QueuedPair& b) { return a.left < b.left; };
    if (!std::is_sorted(taken.begin(), taken.end(), by_position)) {
      std::sort(taken.begin(), taken.end(), by_position);
    }
    return true;
  }

 private:
  absl::flat_hash_map<std::uint64_t, MergeWorkspace::Bucket>& buckets_;
  std::vector<std::uint64_t>& ranks_;
};

// The rank of every adjacent pair is kept in an array that moves along with the symbols, so a
// rescan reads ranks instead of hashing pairs; only the pairs next to a merged symbol are looked
// up again. Encoding's short words go to merge_short_word instead.
template <typename Merges>
void apply_merges_by_rescanning(std::vector<TokenId>& symbols, const Merges& merges, MergeWorkspace& workspace) {
  if (symbols.size() < 2) return;
  auto pair_merge = [&merges](TokenId first, TokenId second) { return merge_of(merges, pair_key(first, second)); };
  auto& pair_merges = pair_merges_of(workspace, merges);
  std::vector<std::size_t>& merged_positions = workspace.merged_positions;
  pair_merges.resize(symbols.size() - 1);
  for (std::size_t position = 0; position + 1 < symbols.size(); ++position) {
    pair_merges[position] = pair_merge(symbols[position], symbols[position + 1]);
  }

  while (symbols.size() >= 2) {
    bool found = false;
    std::uint64_t lowest_rank = 0;
    std::size_t lowest_position = 0;
    for (std::size_t position = 0; position + 1 < symbols.size(); ++position) {
      const auto& merge = pair_merges[position];
      if (is_ranked(merge) && (!found || step_of(merge).rank < lowest_rank)) {
        found = true;
        lowest_rank = step_of(merge).rank;
        lowest_position = position;
      }
    }
    if (!found || !step_of(pair_merges[lowest_position]).has_merged) return;
    const TokenId merged = step_of(pair_merges[lowest_position]).merged;

    // No occurrence of the chosen pair lies before its leftmost lowest-ranked position.
    const TokenId first = symbols[lowest_position];
    const TokenId second = symbols[lowest_position + 1];
    const std::size_t size = symbols.size();
    std::size_t write = lowest_position;
    std::size_t read = lowest_position;
    merged_positions.clear();
    while (read < size) {
      if (read + 1 < size && symbols[read] == first && symbols[read + 1] == second) {
        symbols[write] = merged;
        merged_positions.push_back(write);
        read += 2;
      } else {
        symbols[write] = symbols[read];
        // The pair starting here is unchanged unless the next symbol is merged; that case is
        // looked up again below.
        if (read + 1 < size) pair_merges[write] = pair_merges[read];
        read += 1;
      }
      ++write;
    }
    symbols.resize(write);
    pair_merges.resize(write - 1);
    for (const std::size_t position : merged_positions) {
      if (position > 0) pair_merges[position - 1] = pair_merge(symbols[position - 1], symbols[position]);
      if (position + 1 < write) pair_merges[position] = pair_merge(symbols[position], symbols[position + 1]);
    }
  }
}

// Each round takes the lowest rank, chooses the pair of its leftmost occurrence that still
// exists, and merges that pair's occurrences left to right, skipping one whose left symbol an
// earlier merge of the round consumed. A merge changes no pair to its right, so an occurrence
// still holds its pair when the round reaches it unless it was consumed. Pairs formed by the
// round's merges are queued for later rounds, which is exactly what a full rescan after the round
// would see. Queued pairs are never removed when a merge changes their pair; they are
// recognised as stale when their rank comes up.
template <typename Merges>
void apply_merges_by_rank_queue(std::vector<TokenId>& symbols, const Merges& merges, MergeWorkspace& workspace) {
  if (symbols.size() < 2) return;
  if (symbols.size() >= kNoNode) {
    apply_merges_by_rescanning(symbols, merges, workspace);
    return;
  }
  SymbolList list(symbols, workspace);
  RankQueue queue(workspace);
  const auto count = static_cast<std::uint32_t>(symbols.size());
  for (std::uint32_t left = 0; left + 1 < count; ++left) queue.offer(list, merges, left);

  std::vector<QueuedPair>& round = workspace.round;
  std::uint64_t rank = 0;
  while (queue.take_lowest(rank, round)) {
    auto first_existing = std::find_if(round.begin(), round.end(), [&](const QueuedPair& queued) {
      return list.starts_pair(queued.left, queued.pair);
    });
    if (first_existing == round.end()) continue;
    const PairKey chosen = first_existing->pair;
    const auto found = merge_of(merges, chosen);
    const auto& step = step_of(found);
    if (!step.has_merged) break;

    std::uint32_t last_merged = kNoNode;
    for (auto queued = first_existing; queued != round.end(); ++queued) {
      if (!list.starts_pair(queued->left, queued->pair)) continue;
      if (queued->pair != chosen) {
        // Another pair of the same rank, possible only in an inconsistent model: a later round.
        queue.add(rank, *queued);
        continue;
      }
      if (queued->left == last_merged) continue;
      list.merge(queued->left, step.merged);
      last_merged = queued->left;
      queue.offer(list, merges, list.previous(queued->left));
      queue.offer(list, merges, queued->left);
    }
  }
  list.compact();
}

}  // namespace

WordMerger::WordMerger() : workspace_(std::make_unique<Workspace>()) {}
WordMerger::~WordMerger() = default;

namespace {

template <typename Merges>
void apply_merges(std::vector<TokenId>& symbols, const Merges& merges, MergeWorkspace& workspace) {
  if (symbols.size() <= kRescanMaxSymbols) {
    apply_merges_by_rescanning(symbols, merges, workspace);
  } else {
    try {
      apply_merges_by_rank_queue(symbols, merges, workspace);
    } catch (...) {
      // The workspace lives on for the thread's next word.
      forget_broken_map(workspace.buckets);
      throw;
    }
  }
}

}  // namespace

void WordMerger::apply(std::vector<TokenId>& symbols, const MergeTable& merges) {
  apply_merges(symbols, merges, *workspace_);
}

void WordMerger::apply(std::vector<TokenId>& symbols, const PairMergeIndex& merges) {
  if (symbols.size() <= kShortWordMaxSymbols) {
    merge_short_word(symbols, merges);
    return;
  }
  apply_merges(symbols, merges, *workspace_);
}

}  // namespace wrenmark
