#pragma once

#include <cstdint>
#include <algorithm>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "bpe_tokenizer/core/pair.hpp"

namespace wrenmark {

// Dense number of a pair in the PairTable.
using PairId = std::uint32_t;

// Which pairs list each place as one of their occurrences. A place is one position of one word,
// numbered like the word's symbol slots (the word's start plus the position), so the entries of a
// word lie together and next to its symbols: the merge loop reads and changes them while it has
// the word at hand, instead of probing one hash set per pair somewhere in memory.
//
// Almost every place is listed by at most one pair at a time; the rare further listings (a stale
// position taken up again by a later merge) go to a side table, and a flag on the place's own
// entry says to look there. When the own entry is cleared, a pair from the side table takes it
// over, so the flag stays rare.
class OccurrenceListing {
 public:
  static constexpr PairId kNone = 0x7FFFFFFF;

  void assign(std::size_t places) { first_.assign(places, kNone); }

  // The pair in a place's own entry, or kNone; further pairs may sit in the side table.
  PairId first(std::uint64_t place) const { return first_[place] & ~kHasMore; }
  bool has_more(std::uint64_t place) const { return (first_[place] & kHasMore) != 0; }
  // For the initial listing, where every place holds exactly one pair.
  void set_first(std::uint64_t place, PairId id) { first_[place] = id; }

  bool contains(std::uint64_t place, PairId id) const {
    const std::uint32_t entry = first_[place];
    if ((entry & ~kHasMore) == id) return true;
    if ((entry & kHasMore) == 0) return false;
    const absl::InlinedVector<PairId, 2>& more = extra_.find(place)->second;
    return std::find(more.begin(), more.end(), id) != more.end();
  }
  // False when the pair already listed the place.
  bool insert(std::uint64_t place, PairId id) {
    if (contains(place, id)) return false;
    std::uint32_t& entry = first_[place];
    if ((entry & ~kHasMore) == kNone) {
      entry = id | (entry & kHasMore);
    } else {
      extra_[place].push_back(id);
      entry |= kHasMore;
    }
    return true;
  }
  // Unlists the pair in the own entry.
  void erase_first(std::uint64_t place) {
    if (!has_more(place)) {
      first_[place] = kNone;
      return;
    }
    const auto found = extra_.find(place);
    first_[place] = found->second.back() | kHasMore;
    found->second.pop_back();
    if (found->second.empty()) {
      extra_.erase(found);
      first_[place] &= ~kHasMore;
    }
  }
  // Unlists a pair from the side table, if it is there.
  void erase_more(std::uint64_t place, PairId id) {
    const auto found = extra_.find(place);
    if (found == extra_.end()) return;
    absl::InlinedVector<PairId, 2>& more = found->second;
    const auto listed = std::find(more.begin(), more.end(), id);
    if (listed == more.end()) return;
    *listed = more.back();
    more.pop_back();
    if (more.empty()) {
      extra_.erase(found);
      first_[place] &= ~kHasMore;
    }
  }

  // Always inlined, as WordTable's prefetches are.
  [[gnu::always_inline]] void prefetch(std::uint64_t place) const { __builtin_prefetch(first_.data() + place); }

 private:
  static constexpr std::uint32_t kHasMore = 0x80000000;

  std::vector<std::uint32_t> first_;
  absl::flat_hash_map<std::uint64_t, absl::InlinedVector<PairId, 2>> extra_;
};

}  // namespace wrenmark
