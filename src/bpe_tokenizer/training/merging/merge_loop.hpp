#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/merging/candidate_heap.hpp"
#include "bpe_tokenizer/training/merging/pair_table.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// The default merge loop, run by a MergeDriver: per pair a count and an exact set of
// occurrences (PairTable), updated from each occurrence's neighbours. Positions are not
// renumbered when a word shortens, so later occurrences in a rewritten word are skipped; stored
// models rely on that.
class DefaultMergeLoop {
 public:
  using ChosenPair = PairId;

  explicit DefaultMergeLoop(WordTable& words) : words_(words) {}

  Status count_initial_pairs(CandidateHeap& candidates, TrainingMonitor& monitor);

  // A pair keeps its count after it is merged when it had no occurrences, and a count that
  // falls to zero is still a count: either may be chosen again.
  std::optional<PairId> current(const Candidate& candidate) const {
    const PairId id = pairs_.find(candidate.key());
    if (id == PairTable::kNoPair || !pairs_.counted(id) || pairs_.count(id) != candidate.count) return std::nullopt;
    return id;
  }

  Status merge(Pair pair, PairId id, TokenId joined, CandidateHeap& candidates);

 private:
  WordTable& words_;
  PairTable pairs_;
  // The places and positions of the pair being merged, kept from step to step for their capacity.
  std::vector<Place> step_places_;
  std::vector<std::uint32_t> step_positions_;
};

}  // namespace wrenmark
