#include "bpe_tokenizer/training/merging/pair_table.hpp"

namespace wrenmark {

void PairTable::gather_occurrences(PairId id, std::vector<Place>& out) {
  std::vector<Place>& added = added_[id];
  // Each merge step appends its places in order, so the added places are a few sorted runs.
  if (!std::is_sorted(added.begin(), added.end())) std::sort(added.begin(), added.end());
  const Place* initial_begin = initial_.data();
  const Place* initial_end = initial_.data();
  if (id < initial_ends_.size()) {
    initial_begin += initial_starts_[id];
    initial_end += initial_ends_[id];
  }
  out.resize(static_cast<std::size_t>(initial_end - initial_begin) + added.size());
  std::merge(initial_begin, initial_end, added.begin(), added.end(), out.begin());
}

void PairTable::forget_occurrences(PairId id) {
  flags_[id] &= static_cast<std::uint8_t>(~kHasOccurrences);
  std::vector<Place>().swap(added_[id]);
  if (id < initial_ends_.size()) initial_ends_[id] = initial_starts_[id];
}

void PairTable::list_initial(std::size_t places) {
  // initial_starts_ holds each pair's number of places; it becomes their offsets.
  std::uint64_t offset = 0;
  for (std::uint64_t& start : initial_starts_) {
    const std::uint64_t count = start;
    start = offset;
    offset += count;
  }
  initial_ends_ = initial_starts_;
  initial_.resize(offset);
  for (Place place = 0; place < places; ++place) {
    const PairId id = listing_.first(place);
    if (id != kNoPair) initial_[initial_ends_[id]++] = place;
  }
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
