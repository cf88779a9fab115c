#pragma once

#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/training/merging/place_deltas.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// The pairs of one range of words, counted by one worker while the others count theirs: numbered
// densely in order of first sight within the range, each with its count weighted by word
// frequency, its first and last place in the range and the bytes that the gaps between its places
// take (place_deltas.hpp). The numbers sit in an open-addressing table keyed by the pair; the
// pairs' own data lie in one record each, so that counting a pair it has seen touches two cache
// lines. PairTable::count_initial combines the ranges in word order.
class RangePairCounts {
 public:
  // What counting a place of the pair reads and writes, two tallies to a cache line; the first
  // place is kept apart.
  struct alignas(32) Tally {
    PairKey key;
    std::uint64_t count;
    Place last;
    std::uint64_t gap_bytes;
  };

  RangePairCounts() : slots_(kInitialSlots, kEmpty), shift_(64 - kInitialBits) {}

  std::size_t size() const { return tallies_.size(); }
  Tally& tally(std::uint32_t pair) { return tallies_[pair]; }
  const Tally& tally(std::uint32_t pair) const { return tallies_[pair]; }
  Place first_place(std::uint32_t pair) const { return first_places_[pair]; }

  // Counts the pair at `place`, after the range's earlier places, in a word that occurs `amount`
  // times; the pair's number.
  std::uint32_t add(PairKey key, std::uint64_t amount, Place place) {
    for (std::size_t slot = slot_of(key);; slot = (slot + 1) & mask()) {
      const std::uint32_t pair = slots_[slot];
      if (pair == kEmpty) return add_new(slot, key, amount, place);
      Tally& tally = tallies_[pair];
      if (tally.key == key) {
        tally.count += amount;
        tally.gap_bytes += place_deltas::bytes(place - tally.last);
        tally.last = place;
        return pair;
      }
    }
  }

  // Frees the lookup table and the first places; the tallies stay.
  void drop_lookup() {
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<Place>().swap(first_places_);
  }

 private:
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  static constexpr int kInitialBits = 12;
  static constexpr std::size_t kInitialSlots = std::size_t{1} << kInitialBits;

  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t slot_of(PairKey key) const { return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_); }

  std::uint32_t add_new(std::size_t slot, PairKey key, std::uint64_t amount, Place place) {
    const auto pair = static_cast<std::uint32_t>(tallies_.size());
    tallies_.push_back(Tally{key, amount, place, 0});
    first_places_.push_back(place);
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
  std::vector<Place> first_places_;
  int shift_;
};

}  // namespace wrenmark
