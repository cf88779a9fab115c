#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/system/uninitialized_array.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Dense number of a pair in the PairTable.
using PairId = std::uint32_t;

// Which pairs list each place as one of their occurrences (an occurrence of a pair kept as the
// place of its first symbol), and which word each place belongs to.
// The entries of a word lie together and next to its symbols: the merge loop reads and changes
// them while it has the word at hand, instead of probing one hash set per pair somewhere in
// memory, and one look at a place's entry tells whether it is still listed and in which word.
//
// Almost every place is listed by at most one pair at a time; the rare further listings (a stale
// position taken up again by a later merge) go to a side table, and a flag on the place's own
// entry says to look there. When the own entry is cleared, a pair from the side table takes it
// over, so the flag stays rare.
class OccurrenceListing {
 public:
  static constexpr PairId kNone = 0x7FFFFFFF;

  // Room for `places` places, whose entries are then each set once (`set`) before anything else
  // reads or changes them.
  void allocate(std::size_t places) { entries_ = UninitializedArray<Entry>(places); }
  // The place's word and the pair in its own entry (kNone: unlisted), with no further pairs.
  void set(Place place, PairId id, std::uint32_t word) { entries_[place] = Entry{id, word}; }
  std::uint32_t word(Place place) const { return entries_[place].word; }

  // The pair in a place's own entry, or kNone; further pairs may sit in the side table.
  PairId first(Place place) const { return entries_[place].pairs & ~kHasMore; }
  bool has_more(Place place) const { return (entries_[place].pairs & kHasMore) != 0; }
  // For the initial listing, where every place holds at most one pair: renumbers its pair.
  void set_first(Place place, PairId id) { entries_[place].pairs = id; }

  bool contains(Place place, PairId id) const {
    const std::uint32_t entry = entries_[place].pairs;
    if ((entry & ~kHasMore) == id) return true;
    if ((entry & kHasMore) == 0) return false;
    const More& more = extra_.find(place)->second;
    return std::find(more.begin(), more.end(), id) != more.end();
  }
  // False when the pair already listed the place.
  bool insert(Place place, PairId id) {
    if (contains(place, id)) return false;
    std::uint32_t& entry = entries_[place].pairs;
    if ((entry & ~kHasMore) == kNone) {
      entry = id | (entry & kHasMore);
    } else {
      insert_or_forget(extra_, [&]() -> More& { return extra_[place]; }).push_back(id);
      entry |= kHasMore;
    }
    return true;
  }
  // Unlists the pair in the own entry.
  void erase_first(Place place) {
    std::uint32_t& entry = entries_[place].pairs;
    if ((entry & kHasMore) == 0) {
      entry = kNone;
      return;
    }
    const auto found = extra_.find(place);
    entry = found->second.back() | kHasMore;
    found->second.pop_back();
    if (found->second.empty()) {
      extra_.erase(found);
      entry &= ~kHasMore;
    }
  }
  // Unlists a pair from the side table, if it is there.
  void erase_more(Place place, PairId id) {
    const auto found = extra_.find(place);
    if (found == extra_.end()) return;
    More& more = found->second;
    const auto listed = std::find(more.begin(), more.end(), id);
    if (listed == more.end()) return;
    *listed = more.back();
    more.pop_back();
    if (more.empty()) {
      extra_.erase(found);
      entries_[place].pairs &= ~kHasMore;
    }
  }

  // Always inlined: GCC takes a function that only prefetches for one without effects and drops
  // the calls.
  [[gnu::always_inline]] void prefetch(Place place) const { __builtin_prefetch(entries_.data() + place); }

 private:
  static constexpr std::uint32_t kHasMore = 0x80000000;

  struct Entry {
    std::uint32_t pairs;  // the own entry's pair, or kNone, plus kHasMore
    std::uint32_t word;
  };
  using More = absl::InlinedVector<PairId, 2>;

  UninitializedArray<Entry> entries_;
  absl::flat_hash_map<Place, More> extra_;
};

}  // namespace wrenmark
