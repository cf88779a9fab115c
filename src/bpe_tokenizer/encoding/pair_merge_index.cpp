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
  slots_.assign(capacity, Slot{});
  const RankPlaces places(ranks, kUnrankedPlace);
  for (const auto& [pair, rank] : ranks) {
    std::size_t slot = slot_of(pair);
    while (slots_[slot].code != kUnranked) slot = (slot + 1) & (capacity - 1);
    const auto merged = pairs_to_merge.find(pair);
    const Code merge = merged == pairs_to_merge.end() ? Code{1} << 63 : Code{merged->second};
    const std::uint32_t place = places.place(rank);
    if (place >= 0xffff) places_fit_16_bits_ = false;
    slots_[slot] = Slot{pair, merge | Code{place} << 32};
  }
}

}  // namespace wrenmark
