#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/core/token_table.hpp"

namespace wrenmark {

// The exact bytes of each model file. The members of token_to_id come in id order and those of
// the two pair maps in merge_rules order (each pair once), so equal models give identical files.
std::string config_json(const Config& config);
std::string token_table_json(const TokenTable& table);
std::string merge_rules_json(const std::vector<Pair>& merge_rules);
std::string ranks_json(const std::vector<Pair>& merge_rules, const PairMap<std::uint64_t>& ranks);
std::string pairs_to_merge_json(const std::vector<Pair>& merge_rules, const PairMap<TokenId>& pairs_to_merge);

}  // namespace wrenmark
