#include "bpe_tokenizer/training/merging/pair_table.hpp"

#include <algorithm>

#include "bpe_tokenizer/training/merging/place_deltas.hpp"

namespace wrenmark {

void PairTable::gather_occurrences(PairId id, std::vector<Place>& out) {
  std::vector<Place>& added = added_[id];
  // Each merge step appends its places in order, so the added places are a few sorted runs.
  if (!std::is_sorted(added.begin(), added.end())) std::sort(added.begin(), added.end());
  out.clear();
  auto next_added = added.begin();
  if (id < initial_ends_.size()) {
    const std::uint8_t* gaps = initial_.data() + initial_starts_[id];
    const std::uint8_t* end = initial_.data() + initial_ends_[id];
    Place place = 0;
    while (gaps < end) {
      place += place_deltas::read(gaps);
      while (next_added != added.end() && *next_added < place) out.push_back(*next_added++);
      out.push_back(place);
    }
  }
  out.insert(out.end(), next_added, added.end());
}

void PairTable::forget_occurrences(PairId id) {
  flags_[id] &= static_cast<std::uint8_t>(~kHasOccurrences);
  std::vector<Place>().swap(added_[id]);
  if (id < initial_ends_.size()) initial_ends_[id] = initial_starts_[id];
}

void PairTable::seed(CandidateHeap& candidates) {
  std::vector<Candidate> counted_pairs;
  counted_pairs.reserve(keys_.size());
  for (PairId id = 0; id < keys_.size(); ++id) {
    if (counted(id)) counted_pairs.push_back(Candidate::of(keys_[id], counts_[id]));
    flags_[id] &= static_cast<std::uint8_t>(~kTouched);
  }
  candidates.assign(std::move(counted_pairs));
  touched_.clear();
}

void PairTable::push_touched(CandidateHeap& candidates) {
  for (const PairId id : touched_) {
    flags_[id] &= static_cast<std::uint8_t>(~kTouched);
    if (counted(id)) candidates.push(Candidate::of(keys_[id], counts_[id]));
  }
  touched_.clear();
}

}  // namespace wrenmark
