// The classic loop's initial counts, over ranges of words in parallel.
//
// Each range counts its pairs on its own into a RangePairCounts: for every pair the count weighted
// by word frequency and how many of the range's short words hold it. One thread then makes the
// loop's entries, range by range in word order, adding up the counts and sizing each pair's list
// of short words for all ranges at once; the ranges fill their parts of the lists, again in
// parallel; and one thread lists the occurrences in long words, which are rare. Entries and lists
// are those that one pass over the words would make.

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/training/merging/classic_merge_loop.hpp"
#include "bpe_tokenizer/training/merging/merge_driver.hpp"
#include "bpe_tokenizer/training/merging/range_pair_counts.hpp"
#include "bpe_tokenizer/training/merging/word_ranges.hpp"

namespace wrenmark {

struct ClassicMergeLoop::InitialRange {
  // Counting leaves in `short_words` the number of the range's short words that hold the pair;
  // making the entries turns it into where the range's next one goes in the pair's list.
  // `marked_word` is one more than the last short word that counted the pair (0: none yet), so
  // that a word counts once however often it holds the pair.
  struct Tally {
    PairKey key;
    std::uint64_t count;
    std::uint32_t short_words;
    std::uint32_t marked_word;
  };

  WordRange words;
  RangePairCounts<Tally> pairs;
  // The loop's entry of each of the range's pairs.
  std::vector<PairEntry*> entries;
  std::vector<std::uint32_t> long_words;
};

Status ClassicMergeLoop::count_initial_pairs(CandidateHeap& candidates, TrainingMonitor& monitor) {
  std::vector<InitialRange> ranges;
  for (const WordRange& words_of_range : split_into_word_ranges(words_)) ranges.emplace_back().words = words_of_range;

  std::atomic<bool> stopped{false};
  parallel_ranges(ranges.size(), 1, [&](std::size_t first, std::size_t end) {
    for (std::size_t index = first; index < end; ++index) count_range(ranges[index], monitor, stopped);
  });
  if (stopped.load()) return {};
  make_entries(ranges);
  parallel_ranges(ranges.size(), 1, [&](std::size_t first, std::size_t end) {
    for (std::size_t index = first; index < end; ++index) list_short_words(ranges[index]);
  });
  for (const InitialRange& range : ranges) list_long_words(range);

  std::vector<Candidate> counted_pairs;
  counted_pairs.reserve(pairs_.size());
  for (const auto& [key, entry] : pairs_) counted_pairs.push_back(Candidate::of(key, entry.count));
  candidates.assign(std::move(counted_pairs));
  return {};
}

void ClassicMergeLoop::count_range(InitialRange& range, TrainingMonitor& monitor, std::atomic<bool>& stopped) {
  RangePairCounts<InitialRange::Tally>& pairs = range.pairs;
  for (std::size_t word = range.words.first_word; word < range.words.end_word; ++word) {
    if ((word - range.words.first_word) % kWordsPerCheck == 0 &&
        (stopped.load(std::memory_order_relaxed) || monitor.advance(0, true))) {
      stopped.store(true, std::memory_order_relaxed);
      return;
    }
    const std::uint64_t count = words_.count(word);
    const bool is_long = words_.is_long(word);
    if (is_long) range.long_words.push_back(static_cast<std::uint32_t>(word));
    // Word numbers stay below the largest 32-bit number (the vocabulary builder's limit).
    const auto mark = static_cast<std::uint32_t>(word + 1);
    // No merge has happened yet, so every slot is live and a pair's position is its slot.
    const TokenId* symbols = words_.unmerged_symbols(word);
    const std::uint32_t length = words_.length(word);
    for (std::uint32_t position = 0; position + 1 < length; ++position) {
      bool fresh = false;
      InitialRange::Tally& tally =
          pairs.tally(pairs.find_or_add(pair_key(symbols[position], symbols[position + 1]), fresh));
      tally.count += count;
      if (!is_long && tally.marked_word != mark) {
        tally.marked_word = mark;
        ++tally.short_words;
      }
    }
  }
}

void ClassicMergeLoop::make_entries(std::vector<InitialRange>& ranges) {
  for (InitialRange& range : ranges) {
    for (std::uint32_t pair = 0; pair < range.pairs.size(); ++pair) {
      InitialRange::Tally& tally = range.pairs.tally(pair);
      PairEntry& entry = entry_of(tally.key);
      entry.count += tally.count;
      const auto listed = static_cast<std::uint32_t>(entry.short_words.size());
      entry.short_words.resize(listed + tally.short_words);
      tally.short_words = listed;
      tally.marked_word = 0;
    }
  }
  // The map no longer grows, so pointers to its entries stay good. (Room reserved up front for
  // every range's pairs would have kept them good from the start, but a pair held by several
  // ranges would reserve its room several times.)
  for (InitialRange& range : ranges) {
    range.entries.resize(range.pairs.size());
    for (std::uint32_t pair = 0; pair < range.pairs.size(); ++pair) {
      range.entries[pair] = &pairs_.find(range.pairs.tally(pair).key)->second;
    }
  }
}

void ClassicMergeLoop::list_short_words(InitialRange& range) {
  RangePairCounts<InitialRange::Tally>& pairs = range.pairs;
  for (std::size_t word = range.words.first_word; word < range.words.end_word; ++word) {
    if (words_.is_long(word)) continue;
    const auto mark = static_cast<std::uint32_t>(word + 1);
    const TokenId* symbols = words_.unmerged_symbols(word);
    const std::uint32_t length = words_.length(word);
    for (std::uint32_t position = 0; position + 1 < length; ++position) {
      const std::uint32_t pair = pairs.find(pair_key(symbols[position], symbols[position + 1]));
      InitialRange::Tally& tally = pairs.tally(pair);
      if (tally.marked_word == mark) continue;
      tally.marked_word = mark;
      // Each range writes its own part of the list, which is already sized.
      range.entries[pair]->short_words[tally.short_words++] = static_cast<std::uint32_t>(word);
    }
  }
}

void ClassicMergeLoop::list_long_words(const InitialRange& range) {
  for (const std::uint32_t word : range.long_words) {
    const TokenId* symbols = words_.unmerged_symbols(word);
    const std::uint32_t length = words_.length(word);
    for (std::uint32_t position = 0; position + 1 < length; ++position) {
      long_occurrences_of(pair_key(symbols[position], symbols[position + 1])).push_back(Occurrence{word, position});
    }
  }
}

}  // namespace wrenmark
