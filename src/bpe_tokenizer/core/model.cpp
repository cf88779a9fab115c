#include "bpe_tokenizer/core/model.hpp"

#include <string>
#include <utility>

#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

Result<TokenId> Model::learn_merge(Pair pair) {
  const auto first_text = token_table.token_by_id(pair.first);
  if (!first_text) return TokenizerError::internal_fault("Token1 not found");
  const auto second_text = token_table.token_by_id(pair.second);
  if (!second_text) return TokenizerError::internal_fault("Token2 not found");
  std::string merged_text;
  merged_text.reserve(first_text->size() + second_text->size());
  merged_text.append(*first_text).append(*second_text);
  if (token_table.full()) return vocabulary_full_error();
  const TokenId merged = token_table.add_token(merged_text);
  merge_rules.push_back(pair);
  return merged;
}

Status Model::derive_lookup_tables() {
  PairMap<std::uint64_t> derived_ranks;
  PairMap<TokenId> derived_pairs_to_merge;
  // Reserved whole, so that only the reserving can fail and leave a map broken.
  insert_or_forget(derived_ranks, [&] { derived_ranks.reserve(merge_rules.size()); });
  insert_or_forget(derived_pairs_to_merge, [&] { derived_pairs_to_merge.reserve(merge_rules.size()); });
  std::string merged_text;
  for (std::size_t rank = 0; rank < merge_rules.size(); ++rank) {
    const Pair pair = merge_rules[rank];
    const auto first_text = token_table.token_by_id(pair.first);
    const auto second_text = token_table.token_by_id(pair.second);
    if (!first_text || !second_text) return TokenizerError::internal_fault("token not found");
    merged_text.assign(*first_text).append(*second_text);
    const auto merged_id = token_table.id_by_token(merged_text);
    if (!merged_id) return TokenizerError::internal_fault("a merged token is missing from the vocabulary");
    derived_ranks.insert_or_assign(pair_key(pair), rank);
    derived_pairs_to_merge.insert_or_assign(pair_key(pair), *merged_id);
  }
  ranks = std::move(derived_ranks);
  pairs_to_merge = std::move(derived_pairs_to_merge);
  return {};
}

}  // namespace wrenmark
