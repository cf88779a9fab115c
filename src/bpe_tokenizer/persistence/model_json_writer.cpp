#include "bpe_tokenizer/persistence/model_json_writer.hpp"

#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "bpe_tokenizer/persistence/json_writer.hpp"
#include "bpe_tokenizer/persistence/optional_config_members.hpp"
#include "bpe_tokenizer/persistence/pair_key_text.hpp"

namespace wrenmark {

namespace {

// Writes the members of a pair map: first the pairs of merge_rules in merge order, each once,
// then (only for a map that disagrees with merge_rules) whatever is left, in key order.
template <typename Value>
std::string pair_map_json(const std::vector<Pair>& merge_rules, const PairMap<Value>& map) {
  JsonWriter writer;
  writer.begin_object();
  absl::flat_hash_set<PairKey> written;
  written.reserve(map.size());
  for (const Pair pair : merge_rules) {
    const PairKey key = pair_key(pair);
    auto found = map.find(key);
    if (found == map.end() || !written.insert(key).second) continue;
    writer.key(format_pair_key(pair));
    writer.number(found->second);
  }
  if (written.size() < map.size()) {
    std::vector<std::pair<PairKey, Value>> rest;
    for (const auto& [key, value] : map) {
      if (!written.contains(key)) rest.emplace_back(key, value);
    }
    std::sort(rest.begin(), rest.end());
    for (const auto& [key, value] : rest) {
      writer.key(format_pair_key(pair_from_key(key)));
      writer.number(value);
    }
  }
  writer.end_object();
  return writer.take();
}

}  // namespace

std::string config_json(const Config& config) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("target_vocab_size");
  writer.number(config.target_vocab_size);
  writer.key("pre_tokenizer");
  writer.string(variant_name(config.pre_tokenization));
  writer.key("special_tokens");
  writer.begin_array();
  for (const std::string& token : config.special_tokens) writer.string(token);
  writer.end_array();
  writer.key("special_token_removal_method");
  writer.string(variant_name(config.special_token_removal_method));
  for (const OptionalConfigMember& member : optional_config_members()) {
    if (!member.in_use(config)) continue;
    writer.key(member.key);
    member.write(config, writer);
  }
  writer.end_object();
  return writer.take();
}

std::string token_table_json(const TokenTable& table) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("id_to_token");
  writer.begin_array();
  for (const std::string_view token : table.id_to_token()) writer.string(token);
  writer.end_array();

  // Id order rather than the map's own (randomly seeded) order keeps the file reproducible.
  std::vector<std::pair<TokenId, std::string_view>> by_id;
  by_id.reserve(table.token_to_id().size());
  for (const auto& [token, id] : table.token_to_id()) by_id.emplace_back(id, token);
  std::sort(by_id.begin(), by_id.end());
  writer.key("token_to_id");
  writer.begin_object();
  for (const auto& [id, token] : by_id) {
    writer.key(token);
    writer.number(id);
  }
  writer.end_object();
  writer.end_object();
  return writer.take();
}

std::string merge_rules_json(const std::vector<Pair>& merge_rules) {
  JsonWriter writer;
  writer.begin_array();
  for (const Pair pair : merge_rules) {
    writer.begin_array();
    writer.number(pair.first);
    writer.number(pair.second);
    writer.end_array();
  }
  writer.end_array();
  return writer.take();
}

std::string ranks_json(const std::vector<Pair>& merge_rules, const PairMap<std::uint64_t>& ranks) {
  return pair_map_json(merge_rules, ranks);
}

std::string pairs_to_merge_json(const std::vector<Pair>& merge_rules, const PairMap<TokenId>& pairs_to_merge) {
  return pair_map_json(merge_rules, pairs_to_merge);
}

}  // namespace wrenmark
