#include "bpe_tokenizer/encoding/pair_merge_index.hpp"

#include <algorithm>
#include <bit>

namespace wrenmark {

namespace {

// Where each rank stands among the ranks: the rank itself when every rank is small enough to be
// its own place (a trained model's ranks count up from 0), else its index among the distinct
// ranks in order.
class RankPlaces {
 public:
  RankPlaces(const PairMap<std::uint64_t>& ranks, std::uint32_t limit) {
    for (const auto& [pair, rank] : ranks) {
      if (rank >= limit) {
        ranks_.reserve(ranks.size());
        for (const auto& [other_pair, other_rank] : ranks) ranks_.push_back(other_rank);
        std::sort(ranks_.begin(), ranks_.end());
        ranks_.erase(std::unique(ranks_.begin(), ranks_.end()), ranks_.end());
        return;
      }
    }
  }

  std::uint32_t place(std::uint64_t rank) const {
    if (ranks_.empty()) return static_cast<std::uint32_t>(rank);
    return static_cast<std::uint32_t>(std::lower_bound(ranks_.begin(), ranks_.end(), rank) - ranks_.begin());
  }

 private:
  std::vector<std::uint64_t> ranks_;
};

}  // namespace

PairMergeIndex::PairMergeIndex(const PairMap<std::uint64_t>& ranks, const PairMap<TokenId>& pairs_to_merge) {
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * ranks.size(), 8));
  shift_ = 64 - std::countr_zero(capacity);
  if (build_compact(ranks, pairs_to_merge, capacity)) return;
  slots_.assign(capacity, Slot{});
  const RankPlaces places(ranks, kUnrankedPlace);
  for (const auto& [pair, rank] : ranks) {
    std::size_t slot = slot_of(pair);
    while (slots_[slot].code != kUnranked) slot = (slot + 1) & (capacity - 1);
    const auto merged = pairs_to_merge.find(pair);
    const Code merge = merged == pairs_to_merge.end() ? Code{1} << 63 : Code{merged->second};
    slots_[slot] = Slot{pair, merge | Code{places.place(rank)} << 32};
  }
}

bool PairMergeIndex::build_compact(const PairMap<std::uint64_t>& ranks, const PairMap<TokenId>& pairs_to_merge,
                                   std::size_t capacity) {
  // Ranks with gaps leave holes in the array by place; beyond a few per pair it would outgrow
  // the slots it saves.
  const std::uint64_t place_limit = std::min<std::uint64_t>(kCompactUnrankedPlace, 4 * ranks.size() + 64);
  for (const auto& [pair, rank] : ranks) {
    if (rank >= place_limit || ((pair >> 32) | (pair & 0xffffffff)) >= kCompactUnrankedPlace) return false;
  }
  // A trained model's ranks are their own places; a shared place needs the wide layout.
  std::vector<std::uint8_t> taken;
  for (const auto& [pair, rank] : ranks) {
    if (rank >= taken.size()) taken.resize(std::max<std::size_t>(rank + 1, 2 * taken.size()), 0);
    if (taken[rank] != 0) return false;
    taken[rank] = 1;
  }
  compact_slots_.assign(capacity, kUnranked);
  merged_by_place_.assign(std::max<std::size_t>(taken.size(), 1), 0);
  for (const auto& [pair, rank] : ranks) {
    const Code key = (pair >> 32) << kCompactBits | (pair & kCompactUnrankedPlace);
    std::size_t slot = slot_of(key);
    while (compact_slots_[slot] != kUnranked) slot = (slot + 1) & (capacity - 1);
    const auto merged = pairs_to_merge.find(pair);
    const Code no_merge = merged == pairs_to_merge.end() ? Code{1} << 63 : 0;
    if (merged != pairs_to_merge.end()) merged_by_place_[rank] = merged->second;
    compact_slots_[slot] = no_merge | rank << (2 * kCompactBits) | key;
  }
  slots_.assign(2, Slot{});
  return true;
}

}  // namespace wrenmark
