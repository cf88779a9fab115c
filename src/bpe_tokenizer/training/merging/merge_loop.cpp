#include "bpe_tokenizer/training/merging/merge_loop.hpp"

#include <algorithm>

#include "bpe_tokenizer/training/merging/merge_driver.hpp"

namespace wrenmark {

namespace {

TokenizerError too_many_pairs_error() {
  return TokenizerError::limit_exceeded("the corpus has more than 2147483646 distinct pairs of symbols");
}

// Applies one merge of `merged` = (first, second) -> `new_id` to the places listed for the pair:
// first the count updates from every valid occurrence's neighbours, then the rewrite of the
// symbols with the upkeep of the occurrence sets. Occurrences are taken word by word, positions
// ascending; words are independent of each other, so each word's updates are applied before the
// next word's are read.
class MergeStep {
 public:
  MergeStep(WordTable& words, PairTable& pairs, Pair merged, PairId merged_id, TokenId new_id)
      : words_(words),
        pairs_(pairs),
        first_(merged.first),
        second_(merged.second),
        merged_id_(merged_id),
        new_id_(new_id) {}

  // `candidates` is the pair's list: sorted, with repeats and places it no longer lists.
  Status apply(const std::vector<Place>& candidates, std::vector<std::uint32_t>& positions) {
    // The words of a pair lie scattered over the table, and waiting for memory is most of a
    // step's time. Many candidates are no longer listed and cost only a look at their listing
    // entry, so the fetches run ahead by candidate: far ahead the listing entry, nearer, for a
    // place still listed, the word's record (the entry gives the word) and the symbols (a short
    // word's symbol at a position sits at its place).
    const std::size_t total = candidates.size();
    for (std::size_t index = 0; index < std::min(total, kPlaceLookahead); ++index) prefetch_place(candidates[index]);
    for (std::size_t index = 0; index < std::min(total, kRecordLookahead); ++index) prefetch_record(candidates[index]);
    std::uint32_t word = 0;
    std::uint64_t word_start = 0;
    positions.clear();
    for (std::size_t index = 0; index < total; ++index) {
      if (index + kPlaceLookahead < total) prefetch_place(candidates[index + kPlaceLookahead]);
      if (index + kRecordLookahead < total) prefetch_record(candidates[index + kRecordLookahead]);
      const Place place = candidates[index];
      if (index > 0 && place == candidates[index - 1]) continue;
      if (place >= words_.place_count()) return TokenizerError::internal_fault("a pair occurrence lies out of range");
      // The set as it stands before the word is touched: the places still listed.
      if (!pairs_.is_listed(merged_id_, place)) continue;
      const std::uint32_t place_word = pairs_.word_of(place);
      if (place_word != word || positions.empty()) {
        merge_in_word(word, positions);
        word = place_word;
        word_start = words_.place(word, 0);
      }
      positions.push_back(static_cast<std::uint32_t>(place - word_start));
    }
    merge_in_word(word, positions);
    return {};
  }

 private:
  static constexpr std::size_t kPlaceLookahead = 16;
  static constexpr std::size_t kRecordLookahead = 8;

  [[gnu::always_inline]] void prefetch_place(Place place) const {
    if (place < words_.place_count()) pairs_.prefetch_listing(place);
  }
  // Only for a place that is still listed (as far as the own entry tells): the others need
  // nothing more, and fetching for them would only crowd out the useful fetches.
  [[gnu::always_inline]] void prefetch_record(Place place) const {
    if (place >= words_.place_count() || !pairs_.is_first_listed(merged_id_, place)) return;
    words_.prefetch_record(pairs_.word_of(place));
    words_.prefetch_slot(place);
  }

  // The word's listed positions of the pair, ascending; empties `positions`.
  void merge_in_word(std::uint32_t word, std::vector<std::uint32_t>& positions) {
    for (const std::uint32_t position : positions) update_counts(word, position);
    for (const std::uint32_t position : positions) rewrite(word, position);
    // The pair's set goes as a whole after the step.
    for (const std::uint32_t position : positions) pairs_.unlist(merged_id_, words_.place(word, position));
    positions.clear();
  }

  void update_counts(std::uint32_t word, std::uint32_t position) {
    const SymbolWindow window = words_.window(word, position);
    if (window.after == SymbolWindow::kNone || words_.symbol(word, window.at) != first_ ||
        words_.symbol(word, window.after) != second_) {
      return;
    }
    const std::uint64_t frequency = words_.count(word);
    if (window.before != SymbolWindow::kNone) {
      const TokenId left = words_.symbol(word, window.before);
      pairs_.subtract_count(pair_key(left, first_), frequency);
      pairs_.add_count(pair_key(left, new_id_), frequency);
    }
    if (window.after_next != SymbolWindow::kNone) {
      const TokenId right = words_.symbol(word, window.after_next);
      pairs_.subtract_count(pair_key(second_, right), frequency);
      pairs_.add_count(pair_key(new_id_, right), frequency);
    }
  }

  void rewrite(std::uint32_t word, std::uint32_t position) {
    const SymbolWindow window = words_.window(word, position);
    if (window.after == SymbolWindow::kNone) return;
    const TokenId at = words_.symbol(word, window.at);
    const TokenId after = words_.symbol(word, window.after);
    const bool has_before = window.before != SymbolWindow::kNone;
    const bool has_after_next = window.after_next != SymbolWindow::kNone;
    const TokenId before = has_before ? words_.symbol(word, window.before) : 0;
    const TokenId after_next = has_after_next ? words_.symbol(word, window.after_next) : 0;
    const Place place = words_.place(word, position);
    // Neighbouring occurrences are unlisted even when this one turns out stale.
    if (has_before) pairs_.remove_occurrence(pair_key(before, at), place - 1);
    if (has_after_next) pairs_.remove_occurrence(pair_key(after, after_next), place + 1);
    if (at != first_ || after != second_) return;
    words_.merge(word, window, new_id_);
    if (has_before) pairs_.add_occurrence(pair_key(before, new_id_), place - 1);
    if (has_after_next) pairs_.add_occurrence(pair_key(new_id_, after_next), place);
  }

  WordTable& words_;
  PairTable& pairs_;
  TokenId first_;
  TokenId second_;
  PairId merged_id_;
  TokenId new_id_;
};

}  // namespace

Status DefaultMergeLoop::count_initial_pairs(CandidateHeap& candidates, TrainingMonitor& monitor) {
  switch (pairs_.count_initial(words_, monitor)) {
    case PairTable::InitialCount::kStopped: return {};
    case PairTable::InitialCount::kTooManyPairs: return too_many_pairs_error();
    case PairTable::InitialCount::kDone: break;
  }
  pairs_.seed(candidates);
  return {};
}

Status DefaultMergeLoop::merge(Pair pair, PairId id, TokenId joined, CandidateHeap& candidates) {
  if (!pairs_.has_occurrences(id)) return {};
  pairs_.gather_occurrences(id, step_places_);
  // A step numbers at most two new pairs per occurrence.
  if (pairs_.size() + 2 * step_places_.size() >= PairTable::kMaxPairs) return too_many_pairs_error();
  MergeStep step(words_, pairs_, pair, id, joined);
  if (Status applied = step.apply(step_places_, step_positions_); !applied) return applied;
  pairs_.forget_count(id);
  pairs_.forget_occurrences(id);
  pairs_.push_touched(candidates);
  return {};
}

}  // namespace wrenmark
