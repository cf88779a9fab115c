#pragma once

#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// The pairs of one range of words, counted by one worker while the others count theirs, for a
// loop that combines the ranges in word order afterwards: numbered densely in order of first sight
// within the range, each with a tally of the loop's choosing (a struct with a `key`). The numbers
// sit in an open-addressing table keyed by the pair and the tallies in one array, so that counting
// a pair the range has seen touches two cache lines.
template <typename Tally>
class RangePairCounts {
 public:
  RangePairCounts() : slots_(kInitialSlots, kEmpty), shift_(64 - kInitialBits) {}

  std::size_t size() const { return tallies_.size(); }
  Tally& tally(std::uint32_t pair) { return tallies_[pair]; }
  const Tally& tally(std::uint32_t pair) const { return tallies_[pair]; }

  // The pair's number; a pair new to the range gets the next one and a tally holding only its
  // key, and `fresh` says so.
  std::uint32_t find_or_add(PairKey key, bool& fresh) {
    for (std::size_t slot = slot_of(key);; slot = (slot + 1) & mask()) {
      const std::uint32_t pair = slots_[slot];
      if (pair == kEmpty) {
        fresh = true;
        return add_new(slot, key);
      }
      if (tallies_[pair].key == key) {
        fresh = false;
        return pair;
      }
    }
  }
  // The pair's number, or none.
  std::uint32_t find(PairKey key) const {
    for (std::size_t slot = slot_of(key);; slot = (slot + 1) & mask()) {
      const std::uint32_t pair = slots_[slot];
      if (pair == kEmpty || tallies_[pair].key == key) return pair;
    }
  }
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // Frees the lookup table; the tallies stay.
  void drop_lookup() { std::vector<std::uint32_t>().swap(slots_); }

 private:
  static constexpr std::uint32_t kEmpty = kNone;
  static constexpr int kInitialBits = 12;
  static constexpr std::size_t kInitialSlots = std::size_t{1} << kInitialBits;

  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t slot_of(PairKey key) const { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }

  std::uint32_t add_new(std::size_t slot, PairKey key) {
    const auto pair = static_cast<std::uint32_t>(tallies_.size());
    Tally& tally = tallies_.emplace_back();
    tally.key = key;
    slots_[slot] = pair;
    // At most half full, so that a missing pair ends its probe soon.
    if (2 * tallies_.size() > slots_.size()) grow();
    return pair;
  }

  void grow() {
    slots_.assign(2 * slots_.size(), kEmpty);
    --shift_;
    for (std::uint32_t pair = 0; pair < tallies_.size(); ++pair) {
      std::size_t slot = slot_of(tallies_[pair].key);
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask();
      slots_[slot] = pair;
    }
  }

  std::vector<std::uint32_t> slots_;
  std::vector<Tally> tallies_;
  int shift_;
};

}  // namespace wrenmark
