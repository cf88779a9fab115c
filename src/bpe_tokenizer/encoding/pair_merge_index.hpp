#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// What a merge of one ranked pair does. A ranked pair without a merged token still takes part
// in choosing the lowest rank, and choosing it ends the word's merging.
struct RankedMerge {
  std::uint64_t rank;
  TokenId merged;
  bool has_merged;
};

using MergeTable = PairMap<RankedMerge>;

// The ranked merges by pair in one flat array with linear probing, for the lookups of merging:
// a word's first merge looks up each of its adjacent pairs and every merge two more, and a
// multiply, a shift and usually one probe cost less than the general map's hashing and group
// search. Views into the merge table, which never changes once derived.
class PairMergeIndex {
 public:
  PairMergeIndex() = default;
  explicit PairMergeIndex(const MergeTable& merges) {
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * merges.size(), 8));
    shift_ = 64 - std::countr_zero(capacity);
    slots_.resize(capacity);
    for (const auto& [pair, merge] : merges) {
      std::size_t slot = slot_of(pair);
      while (slots_[slot].merge != nullptr) slot = (slot + 1) & (capacity - 1);
      slots_[slot] = Slot{pair, &merge};
    }
  }

  // The ranked merge of `pair`, or nullptr.
  const RankedMerge* find(PairKey pair) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = slot_of(pair);; slot = (slot + 1) & mask) {
      const Slot& candidate = slots_[slot];
      if (candidate.merge == nullptr || candidate.pair == pair) return candidate.merge;
    }
  }

 private:
  struct Slot {
    PairKey pair = 0;
    const RankedMerge* merge = nullptr;
  };
  std::size_t slot_of(PairKey pair) const { return (pair * 0x9e3779b97f4a7c15ull) >> shift_; }

  std::vector<Slot> slots_;
  int shift_ = 0;
};

}  // namespace wrenmark
