// The initial statistics of the PairTable, counted over ranges of words in parallel.
//
// Each range is counted on its own into a RangePairCounts, which numbers the range's pairs in
// order of first sight and puts those numbers in the listing. The ranges are then combined in
// word order: a pair new to the table gets the next number, so every pair has the number that a
// single pass over all words would give it, and the range's places of a pair follow those of the
// ranges before it. Last, each range renumbers its listing entries and fills its share of every
// pair's list, in place order. The table ends up exactly as one pass would leave it, however the
// words are split. The parallel rounds touch only the ranges' own tallies and their own places of
// the listing and of the lists; the map and the pair arrays are used by the one thread that
// combines.

#include <atomic>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/training/merging/merge_driver.hpp"
#include "bpe_tokenizer/training/merging/pair_table.hpp"
#include "bpe_tokenizer/training/merging/place_deltas.hpp"
#include "bpe_tokenizer/training/merging/range_pair_counts.hpp"
#include "bpe_tokenizer/training/merging/word_ranges.hpp"

namespace wrenmark {

// Consecutive words that one worker counts and, once the ranges are combined, lists.
struct PairTable::InitialRange {
  // What counting a place of a pair reads and writes, two tallies to a cache line: the count,
  // the last place so far and the bytes of the gaps between the places so far. Numbering and
  // listing turn `gap_bytes` into where the pair's next gap goes and `last` into the place it is
  // counted from.
  struct alignas(32) Tally {
    PairKey key;
    std::uint64_t count;
    Place last;
    std::uint64_t gap_bytes;
  };

  WordRange words;
  RangePairCounts<Tally> pairs;
  std::vector<Place> first_places;
  // The table's number of each of the range's pairs.
  std::vector<PairId> ids;
};

PairTable::InitialCount PairTable::count_initial(const WordTable& words, TrainingMonitor& monitor) {
  const std::uint64_t places = words.place_count();
  // Words lie back to back, so the ranges' words set every entry.
  listing_.allocate(places);

  std::vector<InitialRange> ranges;
  for (const WordRange& words_of_range : split_into_word_ranges(words)) ranges.emplace_back().words = words_of_range;

  std::atomic<bool> stopped{false};
  std::atomic<bool> too_many{false};
  parallel_ranges(ranges.size(), 1, [&](std::size_t first, std::size_t end) {
    for (std::size_t index = first; index < end; ++index) {
      if (!count_range(words, ranges[index], monitor, stopped)) too_many.store(true, std::memory_order_relaxed);
    }
  });
  if (stopped.load()) return InitialCount::kStopped;
  if (too_many.load() || !number_initial(ranges)) return InitialCount::kTooManyPairs;

  initial_ = UninitializedArray<std::uint8_t>(lay_out_initial());
  parallel_ranges(ranges.size(), 1, [&](std::size_t first, std::size_t end) {
    for (std::size_t index = first; index < end; ++index) list_range(ranges[index]);
  });
  return InitialCount::kDone;
}

bool PairTable::count_range(const WordTable& words, InitialRange& range, TrainingMonitor& monitor,
                            std::atomic<bool>& stopped) {
  RangePairCounts<InitialRange::Tally>& pairs = range.pairs;
  for (std::size_t word = range.words.first_word; word < range.words.end_word; ++word) {
    if ((word - range.words.first_word) % kWordsPerCheck == 0 &&
        (stopped.load(std::memory_order_relaxed) || monitor.advance(0, true))) {
      stopped.store(true, std::memory_order_relaxed);
      return true;
    }
    const Place start = words.place(word, 0);
    const std::uint32_t length = words.length(word);
    const TokenId* symbols = words.unmerged_symbols(word);
    const std::uint64_t count = words.count(word);
    const auto word_number = static_cast<std::uint32_t>(word);
    for (std::uint32_t position = 0; position + 1 < length; ++position) {
      const Place place = start + position;
      bool fresh = false;
      const std::uint32_t pair = pairs.find_or_add(pair_key(symbols[position], symbols[position + 1]), fresh);
      InitialRange::Tally& tally = pairs.tally(pair);
      tally.count += count;
      if (fresh) {
        range.first_places.push_back(place);
      } else {
        tally.gap_bytes += place_deltas::bytes(place - tally.last);
      }
      tally.last = place;
      listing_.set(place, pair, word_number);
    }
    if (length > 0) listing_.set(start + length - 1, kNoPair, word_number);
    // The range's numbers go into the listing, which holds numbers below kNoPair; the table
    // holds at least as many pairs as any range.
    if (pairs.size() >= kMaxPairs) return false;
  }
  return true;
}

bool PairTable::number_initial(std::vector<InitialRange>& ranges) {
  // While the ranges are numbered, initial_starts_ holds each pair's bytes in the ranges so far
  // and initial_ends_ its last place in them.
  for (InitialRange& range : ranges) {
    range.ids.resize(range.pairs.size());
    for (std::uint32_t pair = 0; pair < range.pairs.size(); ++pair) {
      if (size() >= kMaxPairs) return false;
      InitialRange::Tally& tally = range.pairs.tally(pair);
      const PairId id = id_of(tally.key);
      flags_[id] |= kCounted | kHasOccurrences;
      counts_[id] += tally.count;
      // Numbers are dense, so a pair new to the table is the next one.
      if (id == initial_starts_.size()) {
        initial_starts_.push_back(0);
        initial_ends_.push_back(0);
      }
      // The range's first place is counted from the pair's last place in the ranges before.
      const Place previous = initial_ends_[id];
      const std::uint64_t before = initial_starts_[id];
      initial_starts_[id] += tally.gap_bytes + place_deltas::bytes(range.first_places[pair] - previous);
      initial_ends_[id] = tally.last;
      // Listing reads where the range's part of the list starts and the place its first gap
      // is counted from.
      tally.gap_bytes = before;
      tally.last = previous;
      range.ids[pair] = id;
    }
    range.pairs.drop_lookup();
    std::vector<Place>().swap(range.first_places);
  }
  return size() < kMaxPairs;
}

std::uint64_t PairTable::lay_out_initial() {
  // initial_starts_ holds each pair's number of bytes; it becomes their offsets.
  std::uint64_t offset = 0;
  for (std::size_t id = 0; id < initial_starts_.size(); ++id) {
    const std::uint64_t bytes = initial_starts_[id];
    initial_starts_[id] = offset;
    offset += bytes;
    initial_ends_[id] = offset;
  }
  return offset;
}

void PairTable::list_range(InitialRange& range) {
  RangePairCounts<InitialRange::Tally>& pairs = range.pairs;
  for (std::uint32_t pair = 0; pair < pairs.size(); ++pair) {
    pairs.tally(pair).gap_bytes += initial_starts_[range.ids[pair]];
  }
  std::uint8_t* lists = initial_.data();
  for (Place place = range.words.first_place; place < range.words.end_place; ++place) {
    const PairId pair = listing_.first(place);
    if (pair == kNoPair) continue;
    listing_.set_first(place, range.ids[pair]);
    InitialRange::Tally& tally = pairs.tally(pair);
    tally.gap_bytes =
        static_cast<std::uint64_t>(place_deltas::write(lists + tally.gap_bytes, place - tally.last) - lists);
    tally.last = place;
  }
}

}  // namespace wrenmark
