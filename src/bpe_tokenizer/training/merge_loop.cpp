#include "training/merge_loop.hpp"

#include <algorithm>
#include <string>

#include "io/console.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kOutOfPairsMessage = "targeted vocab size not reached as no more pairs to merge ";

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
    std::size_t group_begin = 0;
    while (group_begin < occurrences.size()) {
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
  void update_counts(std::uint32_t word, std::uint32_t position) {
    const auto symbols = words_.word(word);
    if (position + 1 >= symbols.size() || symbols[position] != first_ || symbols[position + 1] != second_) return;
    const std::uint64_t frequency = words_.counts[word];
    if (position > 0) {
      const TokenId left = symbols[position - 1];
      pairs_.subtract_count(pair_key(left, first_), frequency);
      pairs_.add_count(pair_key(left, new_id_), frequency);
    }
    if (position + 2 < symbols.size()) {
      const TokenId right = symbols[position + 2];
      pairs_.subtract_count(pair_key(second_, right), frequency);
      pairs_.add_count(pair_key(new_id_, right), frequency);
    }
  }

  void rewrite(std::uint32_t word, std::uint32_t position) {
    TokenId* symbols = words_.symbols.data() + words_.starts[word];
    std::uint32_t& length = words_.lengths[word];
    if (position + 1 >= length) return;
    // Neighbouring occurrences are unlisted even when this one turns out stale.
    if (position > 0) {
      pairs_.remove_occurrence(pair_key(symbols[position - 1], symbols[position]), occurrence(word, position - 1));
    }
    if (position + 2 < length) {
      pairs_.remove_occurrence(pair_key(symbols[position + 1], symbols[position + 2]), occurrence(word, position + 1));
    }
    if (symbols[position] != first_ || symbols[position + 1] != second_) return;
    symbols[position] = new_id_;
    std::copy(symbols + position + 2, symbols + length, symbols + position + 1);
    --length;
    if (position > 0) {
      pairs_.add_occurrence(pair_key(symbols[position - 1], new_id_), occurrence(word, position - 1));
    }
    if (position + 1 < length) {
      pairs_.add_occurrence(pair_key(new_id_, symbols[position + 1]), occurrence(word, position));
    }
  }

  WordTable& words_;
  PairTable& pairs_;
  TokenId first_;
  TokenId second_;
  TokenId new_id_;
};

}  // namespace

void record_initial_occurrences(const WordTable& words, PairTable& pairs) {
  for (std::size_t word = 0; word < words.size(); ++word) {
    const auto symbols = words.word(word);
    for (std::size_t position = 0; position + 1 < symbols.size(); ++position) {
      pairs.add_occurrence(pair_key(symbols[position], symbols[position + 1]), occurrence(word, position));
    }
  }
}

void count_initial_pairs(const WordTable& words, PairTable& pairs) {
  for (std::size_t word = 0; word < words.size(); ++word) {
    const auto symbols = words.word(word);
    for (std::size_t position = 0; position + 1 < symbols.size(); ++position) {
      pairs.add_count(pair_key(symbols[position], symbols[position + 1]), words.counts[word]);
    }
  }
  pairs.seed_heap();
}

Status run_merge_loop(BpeTokenizer& tokenizer, WordTable& words, PairTable& pairs) {
  TokenTable& table = tokenizer.token_table;
  std::string merged_text;
  std::vector<Occurrence> occurrences;
  while (table.size() < tokenizer.settings.target_vocab_size) {
    Pair selected{};
    if (!pairs.pop_best(selected)) {
      console::print(kOutOfPairsMessage);
      break;
    }
    const auto first_text = table.token_by_id(selected.first);
    if (!first_text) return TokenizerError::internal_fault("Token1 not found");
    const auto second_text = table.token_by_id(selected.second);
    if (!second_text) return TokenizerError::internal_fault("Token2 not found");
    merged_text.assign(*first_text).append(*second_text);
    const TokenId new_id = table.add_token(merged_text);
    tokenizer.merge_rules.push_back(selected);

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

Status derive_merge_tables(BpeTokenizer& tokenizer) {
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> pairs_to_merge;
  ranks.reserve(tokenizer.merge_rules.size());
  pairs_to_merge.reserve(tokenizer.merge_rules.size());
  std::string merged_text;
  const TokenTable& table = tokenizer.token_table;
  for (std::size_t rank = 0; rank < tokenizer.merge_rules.size(); ++rank) {
    const Pair pair = tokenizer.merge_rules[rank];
    const auto first_text = table.token_by_id(pair.first);
    const auto second_text = table.token_by_id(pair.second);
    if (!first_text || !second_text) return TokenizerError::internal_fault("token not found");
    merged_text.assign(*first_text).append(*second_text);
    const auto merged_id = table.id_by_token(merged_text);
    if (!merged_id) return TokenizerError::internal_fault("a merged token is missing from the vocabulary");
    ranks.insert_or_assign(pair_key(pair), rank);
    pairs_to_merge.insert_or_assign(pair_key(pair), *merged_id);
  }
  tokenizer.ranks = std::move(ranks);
  tokenizer.pairs_to_merge = std::move(pairs_to_merge);
  return {};
}

}  // namespace wrenmark
