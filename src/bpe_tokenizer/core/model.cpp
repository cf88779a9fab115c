#include "bpe_tokenizer/core/model.hpp"

#include <string>
#include <utility>

namespace wrenmark {

Status Model::derive_lookup_tables() {
  PairMap<std::uint64_t> derived_ranks;
  PairMap<TokenId> derived_pairs_to_merge;
  derived_ranks.reserve(merge_rules.size());
  derived_pairs_to_merge.reserve(merge_rules.size());
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
