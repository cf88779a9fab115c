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
  RankPlaces(const MergeTable& merges, std::uint32_t limit) {
    for (const auto& [pair, merge] : merges) {
      if (merge.rank >= limit) {
        ranks_.reserve(merges.size());
        for (const auto& [other_pair, other] : merges) ranks_.push_back(other.rank);
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

PairMergeIndex::PairMergeIndex(const MergeTable& merges) {
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * merges.size(), 8));
  shift_ = 64 - std::countr_zero(capacity);
  slots_.assign(capacity, Slot{});
  const RankPlaces places(merges, kUnrankedPlace);
  for (const auto& [pair, merge] : merges) {
    std::size_t slot = slot_of(pair);
    while (slots_[slot].code != kUnranked) slot = (slot + 1) & (capacity - 1);
    const Code no_merged = merge.has_merged ? 0 : Code{1} << 63;
    slots_[slot] = Slot{pair, no_merged | Code{places.place(merge.rank)} << 32 | merge.merged};
  }
}

}  // namespace wrenmark
