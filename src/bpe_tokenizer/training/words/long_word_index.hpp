#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace wrenmark {

// Positions in a long word after some of its symbols were deleted. Deleting by shifting the
// rest of the word left costs the word's length each time, which is quadratic for a corpus that
// is one long word; here the symbols stay in their slots, a Fenwick tree over the live slots maps a
// position to its slot in O(log n), and links give a slot's live neighbours in O(1).
class LongWordIndex {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  explicit LongWordIndex(std::uint32_t length) : tree_(length + 1), next_(length), previous_(length) {
    for (std::uint32_t slot = 0; slot < length; ++slot) {
      next_[slot] = slot + 1 < length ? slot + 1 : kNone;
      previous_[slot] = slot > 0 ? slot - 1 : kNone;
    }
    // Every slot starts live: node i covers (i - lowbit(i), i], so it holds lowbit(i).
    for (std::uint32_t node = 1; node <= length; ++node) tree_[node] = node & (~node + 1);
    top_bit_ = length == 0 ? 0 : std::bit_floor(length);
  }

  // The slot holding the symbol at live position `position` (which must exist).
  std::uint32_t slot_of(std::uint32_t position) const {
    std::uint32_t node = 0;
    std::uint32_t remaining = position + 1;
    for (std::uint32_t step = top_bit_; step != 0; step >>= 1) {
      const std::uint32_t candidate = node + step;
      if (candidate < tree_.size() && tree_[candidate] < remaining) {
        node = candidate;
        remaining -= tree_[candidate];
      }
    }
    return node;  // the 0-based slot is the 1-based node just past the prefix
  }

  std::uint32_t next(std::uint32_t slot) const { return next_[slot]; }
  std::uint32_t previous(std::uint32_t slot) const { return previous_[slot]; }

  void erase(std::uint32_t slot) {
    for (std::uint32_t node = slot + 1; node < tree_.size(); node += node & (~node + 1)) --tree_[node];
    const std::uint32_t before = previous_[slot];
    const std::uint32_t after = next_[slot];
    if (before != kNone) next_[before] = after;
    if (after != kNone) previous_[after] = before;
  }

 private:
  std::vector<std::uint32_t> tree_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> previous_;
  std::uint32_t top_bit_ = 0;
};

}  // namespace wrenmark
