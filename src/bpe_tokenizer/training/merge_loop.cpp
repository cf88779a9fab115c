#include "bpe_tokenizer/training/merge_loop.hpp"

#include <algorithm>
#include <string>
#include <thread>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/io/console.hpp"
#include "bpe_tokenizer/training/worker_pool.hpp"

namespace wrenmark {

namespace {

// Applies one merge of `merged` = (first, second) -> `new_id` to the words listed for the pair:
// first the count updates from every valid occurrence's neighbours, then the rewrite of the
// symbols with the upkeep of the occurrence sets. Occurrences are taken word by word, positions
// ascending; words are independent of each other, so each word's updates are applied before the
// next word's are read.
class MergeStep {
 public:
  MergeStep(WordTable& words, PairTable& pairs, Pair merged, TokenId new_id)
      : words_(words), pairs_(pairs), first_(merged.first), second_(merged.second), new_id_(new_id) {}

  Status apply(std::vector<Occurrence>& occurrences) {
    std::sort(occurrences.begin(), occurrences.end());
    // The words of a pair lie scattered over the table, and waiting for their records and symbols
    // to arrive from memory is most of a step's time: both are fetched some occurrences ahead.
    for (std::size_t index = 0; index < std::min(occurrences.size(), kRecordLookahead); ++index) {
      prefetch_record(occurrences[index]);
    }
    std::size_t group_begin = 0;
    while (group_begin < occurrences.size()) {
      if (group_begin + kRecordLookahead < occurrences.size()) {
        prefetch_record(occurrences[group_begin + kRecordLookahead]);
      }
      if (group_begin + kSymbolLookahead < occurrences.size()) {
        prefetch_symbols(occurrences[group_begin + kSymbolLookahead]);
      }
      const std::uint32_t word = occurrence_word(occurrences[group_begin]);
      std::size_t group_end = group_begin;
      while (group_end < occurrences.size() && occurrence_word(occurrences[group_end]) == word) ++group_end;
      if (word >= words_.size()) return TokenizerError::internal_fault("a pair occurrence names a word out of range");
      for (std::size_t index = group_begin; index < group_end; ++index) {
        update_counts(word, occurrence_position(occurrences[index]));
      }
      for (std::size_t index = group_begin; index < group_end; ++index) {
        rewrite(word, occurrence_position(occurrences[index]));
      }
      group_begin = group_end;
    }
    return {};
  }

 private:
  static constexpr std::size_t kRecordLookahead = 16;
  static constexpr std::size_t kSymbolLookahead = 8;

  void prefetch_record(Occurrence value) const {
    if (occurrence_word(value) < words_.size()) words_.prefetch_record(occurrence_word(value));
  }
  void prefetch_symbols(Occurrence value) const {
    if (occurrence_word(value) < words_.size()) words_.prefetch_symbols(occurrence_word(value));
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
    // Neighbouring occurrences are unlisted even when this one turns out stale.
    if (has_before) pairs_.remove_occurrence(pair_key(before, at), occurrence(word, position - 1));
    if (has_after_next) pairs_.remove_occurrence(pair_key(after, after_next), occurrence(word, position + 1));
    if (at != first_ || after != second_) return;
    words_.merge(word, window, new_id_);
    if (has_before) pairs_.add_occurrence(pair_key(before, new_id_), occurrence(word, position - 1));
    if (has_after_next) pairs_.add_occurrence(pair_key(new_id_, after_next), occurrence(word, position));
  }

  WordTable& words_;
  PairTable& pairs_;
  TokenId first_;
  TokenId second_;
  TokenId new_id_;
};

}  // namespace

void record_initial_occurrences(const WordTable& words, PairTable& pairs, TrainingMonitor& monitor) {
  // Sizing every set first spares the rehashing; then the sets are filled in parallel, each
  // worker taking the pairs of its own share of key hashes.
  absl::flat_hash_map<PairKey, std::size_t> occurrence_counts;
  for (std::size_t word = 0; word < words.size(); ++word) {
    if (word % kWordsPerCheck == 0 && monitor.advance(0, true)) return;
    words.for_each_pair(
        word, [&](std::uint32_t, TokenId first, TokenId second) { ++occurrence_counts[pair_key(first, second)]; });
  }
  for (const auto& [key, expected] : occurrence_counts) pairs.reserve_occurrences(key, expected);

  // One share per worker: every share scans all words, so more shares would only repeat the scan.
  const std::size_t shares = std::max(1u, std::thread::hardware_concurrency());
  const auto share_of = [shares](PairKey key) { return ((key * 0x9E3779B97F4A7C15ull) >> 32) % shares; };
  parallel_ranges(shares, 1, [&](std::size_t begin, std::size_t end) {
    // Each insertion waits on two cache misses, the pair's entry and then its set's slot; both
    // are fetched ahead, the entry kLookahead insertions early and the slot half as early.
    struct Pending {
      PairKey key;
      Occurrence value;
      absl::flat_hash_set<Occurrence>* set;
    };
    constexpr std::size_t kLookahead = 16;
    Pending ring[kLookahead];
    std::size_t pending = 0;
    auto advance = [&](std::size_t index) {
      Pending& middle = ring[(index + kLookahead / 2) % kLookahead];
      if (index + kLookahead / 2 < pending && middle.set == nullptr) {
        middle.set = &pairs.occurrences_of(middle.key);
        middle.set->prefetch(middle.value);
      }
      Pending& oldest = ring[index % kLookahead];
      if (oldest.set == nullptr) oldest.set = &pairs.occurrences_of(oldest.key);
      oldest.set->insert(oldest.value);
    };
    std::size_t done = 0;
    for (std::size_t word = 0; word < words.size(); ++word) {
      if (word % kWordsPerCheck == 0 && monitor.advance(0, true)) return;
      words.for_each_pair(word, [&](std::uint32_t position, TokenId first, TokenId second) {
        const PairKey key = pair_key(first, second);
        const std::size_t share = share_of(key);
        if (share < begin || share >= end) return;
        if (pending - done == kLookahead) advance(done++);
        pairs.prefetch_state(key);
        ring[pending++ % kLookahead] = {key, occurrence(word, position), nullptr};
      });
    }
    while (done < pending) advance(done++);
  });
}

void count_initial_pairs(const WordTable& words, PairTable& pairs, TrainingMonitor& monitor) {
  for (std::size_t word = 0; word < words.size(); ++word) {
    if (word % kWordsPerCheck == 0 && monitor.advance(0, true)) return;
    words.for_each_pair(word, [&](std::uint32_t, TokenId first, TokenId second) {
      pairs.add_count(pair_key(first, second), words.count(word));
    });
  }
  pairs.seed_heap();
}

Status run_merge_loop(Model& model, std::uint64_t target_vocab_size, WordTable& words, PairTable& pairs,
                      TrainingMonitor& monitor) {
  const TokenTable& table = model.token_table;
  std::vector<Occurrence> occurrences;
  while (table.size() < target_vocab_size) {
    if (monitor.advance(1)) return TokenizerError::cancelled();
    Pair selected{};
    if (!pairs.pop_best(selected)) {
      console::print(kOutOfPairsMessage);
      break;
    }
    const Result<TokenId> learnt = model.learn_merge(selected);
    if (!learnt) return learnt.error();
    const TokenId new_id = learnt.value();

    const PairKey key = pair_key(selected);
    PairState* state = pairs.find(key);
    if (state == nullptr || !state->has_occurrences) continue;
    occurrences.assign(state->occurrences.begin(), state->occurrences.end());
    MergeStep step(words, pairs, selected, new_id);
    if (Status applied = step.apply(occurrences); !applied) return applied;
    pairs.forget_count(key);
    pairs.forget_occurrences(key);
    pairs.push_touched();
  }
  return {};
}

}  // namespace wrenmark
