#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"

namespace wrenmark {

// Buffers reused across the words of one encode call.
struct MergeWorkspace {
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

  // For short words: the ranked merge of the pair at every position, and where a round merged.
  std::vector<const RankedMerge*> pair_merges;
  std::vector<std::size_t> merged_positions;

  // For long words: the symbols as a linked list, and their pairs queued by rank.
  std::vector<std::uint32_t> next;
  std::vector<std::uint32_t> previous;
  std::vector<std::uint8_t> alive;
  absl::flat_hash_map<std::uint64_t, Bucket> buckets;
  std::vector<std::uint64_t> queued_ranks;
  std::vector<QueuedPair> round;
};

// Words with at most this many symbols are merged by rescanning the whole word for the lowest
// rank after every merge; longer ones queue their adjacent pairs by rank so that the work stays
// close to linear in the word's length. Both give the same result.
inline constexpr std::size_t kRescanMaxSymbols = 32;

// Rewrites one word's symbols by the learnt merges: repeatedly take the lowest-ranked adjacent
// pair (the leftmost of equal ranks) and replace all its occurrences left to right without
// overlap; stop when no pair has a rank or the chosen pair merges into nothing.
void apply_merges(std::vector<TokenId>& symbols, const MergeTable& merges, MergeWorkspace& workspace);

// The two strategies, each usable on words of any length.
void apply_merges_by_rescanning(std::vector<TokenId>& symbols, const MergeTable& merges,
                                MergeWorkspace& workspace);
void apply_merges_by_rank_queue(std::vector<TokenId>& symbols, const MergeTable& merges,
                                MergeWorkspace& workspace);

}  // namespace wrenmark
