#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"

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
  // the probe stops at the pair or at an empty slot alike. Whether a pair is ranked is as good
  // as random to the branch predictor, so the probe reads two slots and picks the answer without
  // a branch on it; it branches only to walk on when both slots hold other pairs.
  Code code(PairKey pair) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = slot_of(pair);
    for (;;) {
      const Slot& first = slots_[slot];
      const Slot& second = slots_[(slot + 1) & mask];
      const bool first_answers = (first.pair == pair) | (first.code == kUnranked);
      const bool second_answers = (second.pair == pair) | (second.code == kUnranked);
      // A select by mask, and one test of both flags that the compiler may not split into a
      // branch on each (which it does otherwise, and the second one mispredicts as often).
      const Code take_first = Code{0} - Code{first_answers};
      const Code answer = (first.code & take_first) | (second.code & ~take_first);
      unsigned answered = unsigned{first_answers} | unsigned{second_answers};
      asm("" : "+r"(answered));
      if (answered != 0) [[likely]] {
        return answer;
      }
      slot = (slot + 2) & mask;
    }
  }

  // Starts loading the slot where a lookup of `pair` begins.
  void prefetch(PairKey pair) const { __builtin_prefetch(&slots_[slot_of(pair)]); }

  // Whether every ranked pair's place is below 2^16 - 1, as in a model of up to 65,535 merges.
  bool places_fit_16_bits() const { return places_fit_16_bits_; }

  MergeStep find(PairKey pair) const {
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

  // Two empty slots until derived, so that a lookup finds nothing. A 32k model's slots fill one
  // huge page, so that the lookups of a first encoding, spread over all of them, do not miss the
  // address translation cache as well.
  using Slots = std::vector<Slot, EncodingArrayAllocator<Slot>>;
  Slots slots_ = Slots(2);
  int shift_ = 63;
  bool places_fit_16_bits_ = true;
};

}  // namespace wrenmark
