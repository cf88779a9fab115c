#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/token_table.hpp"

namespace wrenmark {

// The marker that ends every word before merging; it is a token of every model.
inline constexpr std::string_view kEndOfWord = "</w>";

// What training learns and loading reads back: the vocabulary and the merges. The merges are
// held three ways because the model files hold them three ways: `merge_rules` in learning
// order, and two lookup tables keyed by pair. A trained model derives the tables from the rules
// (derive_lookup_tables); a loaded one keeps the tables of its files, which may disagree with
// the rules.
struct Model {
  TokenTable token_table;
  std::vector<Pair> merge_rules;
  PairMap<std::uint64_t> ranks;     // the position of a pair's last rule in merge_rules
  PairMap<TokenId> pairs_to_merge;  // the id of the token a pair's two tokens join into

  // Learns the rule `pair`: adds the token its two tokens join into, unless the table has it,
  // and appends the rule. Returns the id of the joined token.
  Result<TokenId> learn_merge(Pair pair);

  // Rebuilds `ranks` and `pairs_to_merge` from `merge_rules` and the token table. Fails when a
  // rule names a token the table lacks.
  Status derive_lookup_tables();
};

}  // namespace wrenmark
