#pragma once

#include <atomic>
#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"
#include "bpe_tokenizer/training/merging/candidate_heap.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// An occurrence of a pair: the word and the slot of the pair's first symbol. Ordered by word,
// then slot, so that sorting puts a word's occurrences left to right.
struct Occurrence {
  std::uint32_t word;
  std::uint32_t slot;

  friend auto operator<=>(const Occurrence&, const Occurrence&) = default;
};

// The merge loop of classic BPE, chosen by `merge_all_occurrences` and run by a MergeDriver. Each
// step merges the pair with the greatest count above zero, rewrites every word that holds it left
// to right without overlap (as encoding applies a merge), and updates the counts so that they
// always equal a full recount of the words.
//
// A pair knows the short words that hold it and its occurrences in long words. The lists grow as
// merges create the pair but are not pruned when a word loses it (they go whole when the pair is
// merged or its count falls to zero), so they may name words and slots that no longer hold the
// pair: rewriting checks each against the word, and a stale one costs a look. A short word is
// rewritten whole; a long word only at the pair's own slots, so that a corpus made of one huge
// word stays near-linear.
class ClassicMergeLoop {
  struct PairEntry {
    std::uint64_t count = 0;
    // The step that last listed the pair as touched, so that it is listed once per step.
    std::uint32_t touched_in_step = 0;
    // Most pairs that merges create occur in a few words only: those need no allocation.
    absl::InlinedVector<std::uint32_t, 4> short_words;
  };
  // Probed at random places several times per merged occurrence: on huge pages, so that the probes
  // do not also miss the address translation cache.
  using PairEntries = absl::flat_hash_map<PairKey, PairEntry, absl::Hash<PairKey>, std::equal_to<PairKey>,
                                          TrainingArrayAllocator<std::pair<const PairKey, PairEntry>>>;

 public:
  // The pair's entry, valid until the loop next changes.
  using ChosenPair = PairEntries::iterator;

  explicit ClassicMergeLoop(WordTable& words) : words_(words) {}

  // Reads the words before any merge, ranges of them in parallel.
  Status count_initial_pairs(CandidateHeap& candidates, TrainingMonitor& monitor);

  // Only pairs with a count above zero are chosen.
  std::optional<ChosenPair> current(const Candidate& candidate) {
    if (candidate.count == 0) return std::nullopt;
    const auto found = pairs_.find(candidate.key());
    if (found == pairs_.end() || found->second.count != candidate.count) return std::nullopt;
    return found;
  }

  Status merge(Pair pair, ChosenPair chosen, TokenId joined, CandidateHeap& candidates);

 private:
  // The pair's entry and its long-word occurrences, made when missing. Growing either map may
  // fail; unwinding then destroys the loop, which a broken map must not see.
  PairEntry& entry_of(PairKey key) {
    return insert_or_forget(pairs_, [&]() -> PairEntry& { return pairs_[key]; });
  }
  std::vector<Occurrence>& long_occurrences_of(PairKey key) {
    return insert_or_forget(long_word_occurrences_,
                            [&]() -> std::vector<Occurrence>& { return long_word_occurrences_[key]; });
  }
  // The rounds of count_initial_pairs (classic_initial_pairs.cpp).
  struct InitialRange;
  void count_range(InitialRange& range, TrainingMonitor& monitor, std::atomic<bool>& stopped);
  void make_entries(std::vector<InitialRange>& ranges);
  void list_short_words(InitialRange& range);
  void list_long_words(const InitialRange& range);

  void rewrite_short_word(std::uint32_t word);
  void rewrite_long_word_at(Occurrence occurrence);
  void subtract(TokenId first, TokenId second, std::uint64_t amount);
  void add_in_short_word(TokenId first, TokenId second, std::uint64_t amount, std::uint32_t word);
  void add_in_long_word(TokenId first, TokenId second, std::uint64_t amount, Occurrence occurrence);
  void note_touched(PairKey key, PairEntry& entry);
  void push_touched(CandidateHeap& candidates);

  WordTable& words_;
  PairEntries pairs_;
  absl::flat_hash_map<PairKey, std::vector<Occurrence>> long_word_occurrences_;
  std::vector<PairKey> touched_;
  // The words and occurrences of the pair being merged, kept from step to step for their capacity.
  std::vector<std::uint32_t> step_short_words_;
  std::vector<Occurrence> step_long_occurrences_;
  std::uint32_t step_ = 0;
  // The step under way: the pair, its key and the token it becomes.
  TokenId first_ = 0;
  TokenId second_ = 0;
  PairKey merged_key_ = 0;
  TokenId merged_ = 0;
  // Cleared when a count would fall below zero, which a correct rewrite never does.
  bool counts_consistent_ = true;
};

}  // namespace wrenmark
