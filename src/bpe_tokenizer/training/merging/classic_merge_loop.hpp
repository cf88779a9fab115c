#pragma once

#include <cstdint>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/system/huge_page_allocator.hpp"
#include "bpe_tokenizer/training/merging/pair_table.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// The merge loop of classic BPE, chosen by `merge_all_occurrences`. Each step selects the pair
// with the greatest count above zero, rewrites every word that holds it left to right without
// overlap (as encoding applies a merge), and updates the counts so that they always equal a full
// recount of the words.
//
// A pair knows the short words that hold it and, in long words, the slots where it starts. The
// lists grow as merges create the pair but are not pruned when a word loses it (they go whole
// when the pair is merged or its count falls to zero), so they may name places that no longer
// hold the pair: rewriting checks each place against the word, and a stale one costs a look. A
// short word is rewritten whole; a long word only at the pair's own slots, so that a corpus made
// of one huge word stays near-linear.
class ClassicMergeLoop {
 public:
  // Counts every adjacent pair weighted by its word's count, lists where each one occurs, and
  // seeds the candidate heap. Reads the words before any merge. The monitor may stop this early;
  // the caller then drops the loop.
  ClassicMergeLoop(WordTable& words, TrainingMonitor& monitor);

  // Merges until the vocabulary reaches the target or no pair has a count above zero, appending
  // to the model's vocabulary and merge rules. Counts one unit of the monitor per merge; a stop
  // yields a Cancelled error.
  Status run(Model& model, std::uint64_t target_vocab_size, TrainingMonitor& monitor);

 private:
  struct PairEntry {
    std::uint64_t count = 0;
    // The step that last listed the pair as touched, so that it is listed once per step.
    std::uint32_t touched_in_step = 0;
    // Most pairs that merges create occur in a few words only: those need no allocation.
    absl::InlinedVector<std::uint32_t, 4> short_words;
  };

  bool pop_best(Pair& selected);
  void merge(Pair pair, TokenId merged);
  void rewrite_short_word(std::uint32_t word);
  void rewrite_long_word_at(Occurrence place);
  void subtract(TokenId first, TokenId second, std::uint64_t amount);
  void add_in_short_word(TokenId first, TokenId second, std::uint64_t amount, std::uint32_t word);
  void add_in_long_word(TokenId first, TokenId second, std::uint64_t amount, Occurrence place);
  void note_touched(PairKey key, PairEntry& entry);
  void push_touched();

  WordTable& words_;
  // Probed at random places several times per merged occurrence: on huge pages, so that the probes
  // do not also miss the address translation cache.
  absl::flat_hash_map<PairKey, PairEntry, absl::Hash<PairKey>, std::equal_to<PairKey>,
                      HugePageAllocator<std::pair<const PairKey, PairEntry>>>
      pairs_;
  absl::flat_hash_map<PairKey, std::vector<Occurrence>> long_word_places_;
  std::vector<Candidate> heap_;
  std::vector<PairKey> touched_;
  // The words and places of the pair being merged, kept from step to step for their capacity.
  std::vector<std::uint32_t> step_short_words_;
  std::vector<Occurrence> step_long_places_;
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
