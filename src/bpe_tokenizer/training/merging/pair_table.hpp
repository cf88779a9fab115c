#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/system/uninitialized_array.hpp"
#include "bpe_tokenizer/training/merging/candidate_heap.hpp"
#include "bpe_tokenizer/training/merging/occurrence_listing.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// The weighted count and the occurrences of every pair. A pair may have a count without
// occurrences and occurrences without a count; its flags say which of the two it has.
//
// Each pair's occurrences are an exact set of places. The set is kept in two halves: the
// OccurrenceListing says, place by place, which pairs list it (so membership tests, insertions
// and removals touch the memory of the word at hand), and the pair's own list holds every place
// it ever listed, sorted in runs, some of them since removed or listed twice. The merge loop
// reads a pair's list once, when it merges the pair, and keeps the places that the listing
// still confirms.
//
// Pairs are numbered densely in order of first appearance and keep their number for good.
// One thread at a time uses a table: even its lookups write (to a cache of recent numbers).
class PairTable {
 public:
  static constexpr PairId kNoPair = OccurrenceListing::kNone;
  // Numbers stay below kNoPair; the merge loop stops with an error before they run out.
  static constexpr std::size_t kMaxPairs = kNoPair;

  std::size_t size() const { return keys_.size(); }
  PairKey key(PairId id) const { return keys_[id]; }
  PairId find(PairKey key) const {
    RecentPair& recent = recent_[recent_slot(key)];
    if (recent.key == key) return recent.id;
    const auto found = ids_.find(key);
    if (found == ids_.end()) return kNoPair;
    recent = {key, found->second};
    return found->second;
  }
  // The pair's number, numbering it if it is new.
  PairId id_of(PairKey key) {
    RecentPair& recent = recent_[recent_slot(key)];
    if (recent.key == key) return recent.id;
    const auto [entry, inserted] =
        insert_or_forget(ids_, [&] { return ids_.try_emplace(key, static_cast<PairId>(keys_.size())); });
    if (inserted) {
      keys_.push_back(key);
      counts_.push_back(0);
      flags_.push_back(0);
      added_.emplace_back();
    }
    recent = {key, entry->second};
    return entry->second;
  }

  bool counted(PairId id) const { return (flags_[id] & kCounted) != 0; }
  std::uint64_t count(PairId id) const { return counts_[id]; }
  bool has_occurrences(PairId id) const { return (flags_[id] & kHasOccurrences) != 0; }

  void add_count(PairKey key, std::uint64_t amount) { add_count_to(id_of(key), amount); }
  // Lowers a count, never below zero; a pair without a count is left alone.
  void subtract_count(PairKey key, std::uint64_t amount) {
    const PairId id = find(key);
    if (id == kNoPair || !counted(id)) return;
    counts_[id] = counts_[id] > amount ? counts_[id] - amount : 0;
    touch(id);
  }
  void forget_count(PairId id) {
    flags_[id] &= static_cast<std::uint8_t>(~kCounted);
    counts_[id] = 0;
  }

  // Lists the place as an occurrence of the pair (a no-op when it is listed).
  void add_occurrence(PairKey key, Place place) {
    const PairId id = id_of(key);
    flags_[id] |= kHasOccurrences;
    if (listing_.insert(place, id)) added_[id].push_back(place);
  }
  void remove_occurrence(PairKey key, Place place) {
    const PairId first = listing_.first(place);
    if (first != kNoPair && keys_[first] == key) {
      listing_.erase_first(place);
    } else if (listing_.has_more(place)) {
      if (const PairId id = find(key); id != kNoPair) listing_.erase_more(place, id);
    }
  }
  bool is_listed(PairId id, Place place) const { return listing_.contains(place, id); }
  bool is_first_listed(PairId id, Place place) const { return listing_.first(place) == id; }
  void unlist(PairId id, Place place) {
    if (listing_.first(place) == id) {
      listing_.erase_first(place);
    } else if (listing_.has_more(place)) {
      listing_.erase_more(place, id);
    }
  }
  std::uint32_t word_of(Place place) const { return listing_.word(place); }
  [[gnu::always_inline]] void prefetch_listing(Place place) const { listing_.prefetch(place); }

  // Everything the pair's list holds, sorted, with repeats and with places it no longer lists.
  void gather_occurrences(PairId id, std::vector<Place>& out);
  // Drops the pair's list; its places must have been unlisted.
  void forget_occurrences(PairId id);

  // The initial statistics of the words, before any merge (pair_table_initial.cpp): every place
  // given its word, every pair of every word counted and numbered, the first place of each of its
  // occurrences listed, and its list of places filled in place order, which leaves it sorted.
  enum class InitialCount : std::uint8_t { kDone, kStopped, kTooManyPairs };
  InitialCount count_initial(const WordTable& words, TrainingMonitor& monitor);

  // Fills the heap with one candidate for every counted pair.
  void seed(CandidateHeap& candidates);
  // Pushes one candidate for every pair whose count changed since the last call, carrying its
  // current count. Intermediate counts within one merge step are never the current count at a
  // later pop unless the count returns to that value, and then this push covers it.
  void push_touched(CandidateHeap& candidates);

 private:
  static constexpr std::uint8_t kCounted = 1;
  static constexpr std::uint8_t kHasOccurrences = 2;
  static constexpr std::uint8_t kTouched = 4;

  void add_count_to(PairId id, std::uint64_t amount) {
    flags_[id] |= kCounted;
    counts_[id] += amount;
    touch(id);
  }
  void touch(PairId id) {
    if ((flags_[id] & kTouched) != 0) return;
    flags_[id] |= kTouched;
    touched_.push_back(id);
  }

  // A small direct-mapped cache in front of ids_: the pairs of one merge step share a token
  // (the merged pair's tokens or the new one) and come back again and again, and a number, once
  // given, never changes. Only found pairs are cached, so a pair numbered later is never missed.
  struct RecentPair {
    PairKey key = ~PairKey{0};  // no pair has this key: token ids stay below the maximum
    PairId id = kNoPair;
  };
  static constexpr int kRecentBits = 12;
  static std::size_t recent_slot(PairKey key) { return (key * 0x9E3779B97F4A7C15ull) >> (64 - kRecentBits); }
  // On the heap: a table may live on a small thread stack.
  mutable std::vector<RecentPair> recent_ = std::vector<RecentPair>(std::size_t{1} << kRecentBits);

  absl::flat_hash_map<PairKey, PairId, absl::Hash<PairKey>, std::equal_to<PairKey>,
                      TrainingArrayAllocator<std::pair<const PairKey, PairId>>>
      ids_;
  HugePageVector<PairKey> keys_;
  HugePageVector<std::uint64_t> counts_;
  HugePageVector<std::uint8_t> flags_;
  // The places listed since the initial statistics, one sorted run per merge step that added any.
  std::vector<std::vector<Place>> added_;
  // The rounds of count_initial. False: more pairs than numbers.
  struct InitialRange;
  bool count_range(const WordTable& words, InitialRange& range, TrainingMonitor& monitor, std::atomic<bool>& stopped);
  bool number_initial(std::vector<InitialRange>& ranges);
  // Offsets for the lists; how many bytes they take.
  std::uint64_t lay_out_initial();
  void list_range(InitialRange& range);

  // The initial lists back to back, pair by pair, each as the gaps between its places
  // (place_deltas.hpp), the first one counted from place 0: pair i's list is the bytes
  // [initial_starts_[i], initial_ends_[i]); pairs numbered after the initial statistics have
  // none. The gaps take about a third of what the places would, and this is the largest array
  // the initial statistics bring into being besides the listing.
  UninitializedArray<std::uint8_t> initial_;
  HugePageVector<std::uint64_t> initial_starts_;
  HugePageVector<std::uint64_t> initial_ends_;
  OccurrenceListing listing_;
  std::vector<PairId> touched_;
};

}  // namespace wrenmark
