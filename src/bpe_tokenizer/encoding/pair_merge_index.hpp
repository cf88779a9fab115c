#pragma once

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

// What merging reads of one pair, as a value: whether it is ranked at all, then its merge.
struct MergeStep {
  std::uint64_t rank;
  TokenId merged;
  bool ranked;
  bool has_merged;
};

// The ranked merges by pair in one flat array with linear probing, for the lookups of merging:
// a word's first merge looks up each of its adjacent pairs and every merge two more. A slot
// holds the whole merge packed in one number, so a lookup touches one cache line and no second
// table; on the first encoding of a text those lookups miss the caches, which costs more than
// their instructions. The rank is kept as its place among the model's ranks (equal ranks share
// a place), which orders and ties pairs exactly as the ranks do.
class PairMergeIndex {
 public:
  // A merge packed in one number: its place in the high half, the top bit set when the pair has
  // no merged token, and the merged token in the low half. An unranked pair's code has every
  // bit set, and so its place is above every real one: far fewer than 2^31 - 1 merges fit in
  // memory.
  using Code = std::uint64_t;
  static constexpr Code kUnranked = ~Code{0};
  static constexpr std::uint32_t kUnrankedPlace = (std::uint32_t{1} << 31) - 1;
  static std::uint32_t place(Code code) { return static_cast<std::uint32_t>(code >> 32) & kUnrankedPlace; }
  static bool has_merged(Code code) { return (code >> 63) == 0; }
  static TokenId merged(Code code) { return static_cast<TokenId>(code); }

  PairMergeIndex() = default;
  // From a model's ranks and the tokens its pairs merge into.
  PairMergeIndex(const PairMap<std::uint64_t>& ranks, const PairMap<TokenId>& pairs_to_merge);

  // The code of `pair`, kUnranked when it has no rank. An empty slot holds kUnranked too, so
  // the probe stops at the pair or at an empty slot alike.
  Code code(PairKey pair) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = slot_of(pair);
    while (slots_[slot].pair != pair && slots_[slot].code != kUnranked) slot = (slot + 1) & mask;
    return slots_[slot].code;
  }

  // The compact layout, taken when every id of a ranked pair and every place fit in 21 bits and
  // no two pairs share a place (every trained model): a slot is one number holding the pair, the
  // place and the "no merged token" bit, and the merged tokens stand in a separate array by place,
  // read only for the pair a round merges. Half the slot bytes, so that the index of a 32k model
  // fits the second-level cache beside the word's other data.
  static constexpr int kCompactBits = 21;
  static constexpr std::uint32_t kCompactUnrankedPlace = (std::uint32_t{1} << kCompactBits) - 1;
  static constexpr Code kCompactPairBits = (Code{1} << (2 * kCompactBits)) - 1;
  static std::uint32_t compact_place(Code code) {
    return static_cast<std::uint32_t>(code >> (2 * kCompactBits)) & kCompactUnrankedPlace;
  }

  bool is_compact() const { return !merged_by_place_.empty(); }

  // The compact slot of the pair (first, second), kUnranked when it has no rank. The ids of
  // ranked pairs stay below kCompactUnrankedPlace, so a pair of a larger id has none.
  Code compact_code(TokenId first, TokenId second) const {
    if ((first | second) >= kCompactUnrankedPlace) return kUnranked;
    const Code key = Code{first} << kCompactBits | second;
    const std::size_t mask = compact_slots_.size() - 1;
    std::size_t slot = slot_of(key);
    while ((compact_slots_[slot] & kCompactPairBits) != key && compact_slots_[slot] != kUnranked) {
      slot = (slot + 1) & mask;
    }
    return compact_slots_[slot];
  }
  TokenId merged_at(std::uint32_t place) const { return merged_by_place_[place]; }

  MergeStep find(PairKey pair) const {
    if (is_compact()) {
      const Code found = compact_code(static_cast<TokenId>(pair >> 32), static_cast<TokenId>(pair));
      if (found == kUnranked) return MergeStep{0, 0, false, false};
      const std::uint32_t at = compact_place(found);
      return MergeStep{at, merged_by_place_[at], true, has_merged(found)};
    }
    const Code found = code(pair);
    if (found == kUnranked) return MergeStep{0, 0, false, false};
    return MergeStep{place(found), merged(found), true, has_merged(found)};
  }

 private:
  struct Slot {
    PairKey pair = 0;
    Code code = kUnranked;
  };
  std::size_t slot_of(PairKey pair) const { return (pair * 0x9e3779b97f4a7c15ull) >> shift_; }
  bool build_compact(const PairMap<std::uint64_t>& ranks, const PairMap<TokenId>& pairs_to_merge, std::size_t capacity);

  // Two empty slots until derived, so that a lookup finds nothing.
  std::vector<Slot> slots_ = std::vector<Slot>(2);
  int shift_ = 63;
  std::vector<Code> compact_slots_;
  std::vector<TokenId> merged_by_place_;
};

}  // namespace wrenmark
