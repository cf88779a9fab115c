#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/merging/candidate_heap.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// Words a loop scans between two stop checks while it counts the initial pairs.
inline constexpr std::size_t kWordsPerCheck = 1 << 16;

// Writes, without a line end, that training stops short of the target size because no pair is
// left to merge.
void report_out_of_pairs();

// The settings' limits on merging, which both loops obey through the driver.
struct MergeLimits {
  // Merging stops once the best pair occurs fewer times than this.
  std::uint64_t min_frequency = 0;
  // A pair whose joined token would be longer than this many characters is never chosen.
  std::optional<std::uint64_t> max_token_length;
  // With byte fallback, a pair whose joined text is spelled like a byte token is never chosen:
  // its merge would give the byte token's id, which decoding reads as a byte.
  bool keep_byte_tokens = false;
};

// The characters of the token that `pair` joins into, a final "</w>" not counted.
std::uint64_t joined_token_length(const TokenTable& table, Pair pair);

// Whether the texts of the pair's two tokens join into the spelling of a byte token.
bool joins_into_byte_token(const TokenTable& table, Pair pair);

// What sets one merge loop apart from the other: how it keeps the pairs' counts and
// occurrences and how it rewrites a word.
//
// - `count_initial_pairs(candidates, monitor)`: counts every adjacent pair weighted by its word's
//   count, notes where each occurs and fills `candidates`. May stop early when the monitor says
//   so; the caller then drops the loop.
// - `current(candidate)`: the loop's `ChosenPair`, its own hold on the pair (its number, say),
//   when the candidate carries the pair's current count and the loop takes the pair; nothing for
//   a stale candidate.
// - `merge(pair, chosen, joined, candidates)`: rewrites the words holding the pair into
//   `joined`, updates the counts and occurrences, and pushes a candidate for every pair whose
//   count changed.
template <typename Loop>
concept MergeLoop = std::constructible_from<Loop, WordTable&> &&
                    requires(Loop& loop, TrainingMonitor& monitor, CandidateHeap& candidates,
                             const Candidate& candidate, const Loop::ChosenPair& chosen, TokenId joined) {
                      { loop.count_initial_pairs(candidates, monitor) } -> std::same_as<Status>;
                      { loop.current(candidate) } -> std::same_as<std::optional<typename Loop::ChosenPair>>;
                      { loop.merge(candidate.pair(), chosen, joined, candidates) } -> std::same_as<Status>;
                    };

// The step loop that both merge loops share: the candidates, which of them is the best, the
// stop at the target size or when no pair is left, and the model's rules and tokens. A rule on
// which pair may be chosen, or on when to stop, is written here once for both loops.
template <MergeLoop Loop>
class MergeDriver {
 public:
  explicit MergeDriver(WordTable& words, MergeLimits limits = {}) : loop_(words), limits_(limits) {}

  // The initial counts, before any merge (the CountingPairs phase of training). May stop early
  // when the monitor says so; the caller then drops the driver.
  Status count_initial_pairs(TrainingMonitor& monitor) { return loop_.count_initial_pairs(candidates_, monitor); }

  // Merges the best pair again and again until the vocabulary reaches the target size, no
  // pair is left or the best one is rarer than the minimum frequency, appending to the model's merge rules and
  // vocabulary. Counts one unit of the monitor per merge; a stop yields a Cancelled error.
  Status run(Model& model, std::uint64_t target_vocab_size, TrainingMonitor& monitor) {
    const TokenTable& table = model.token_table;
    while (table.size() < target_vocab_size) {
      if (monitor.advance(1)) return TokenizerError::cancelled();
      const std::optional<Choice> best = choose(table);
      if (!best) {
        report_out_of_pairs();
        break;
      }
      if (best->candidate.count < limits_.min_frequency) break;
      const Pair pair = best->candidate.pair();
      const Result<TokenId> joined = model.learn_merge(pair);
      if (!joined) return joined.error();
      if (Status merged = loop_.merge(pair, best->chosen, joined.value(), candidates_); !merged) return merged;
    }
    return {};
  }

 private:
  struct Choice {
    Candidate candidate;
    Loop::ChosenPair chosen;
  };

  // The greatest candidate that the loop confirms as current and whose joined token keeps to
  // the length limit; nothing when the heap runs dry. A pair passed over for its length is
  // pushed again only when its count changes, and is passed over again then.
  std::optional<Choice> choose(const TokenTable& table) {
    while (!candidates_.empty()) {
      const Candidate candidate = candidates_.pop();
      if (limits_.keep_byte_tokens && joins_into_byte_token(table, candidate.pair())) continue;
      if (std::optional<typename Loop::ChosenPair> chosen = loop_.current(candidate)) {
        if (limits_.max_token_length && joined_token_length(table, candidate.pair()) > *limits_.max_token_length) {
          continue;
        }
        return Choice{candidate, *chosen};
      }
    }
    return std::nullopt;
  }

  Loop loop_;
  MergeLimits limits_;
  CandidateHeap candidates_;
};

}  // namespace wrenmark
