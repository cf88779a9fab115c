#include "bpe_tokenizer/persistence/model_format.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "bpe_tokenizer/persistence/json_file_reader.hpp"
#include "bpe_tokenizer/persistence/json_writer.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/optional_config_members.hpp"
#include "bpe_tokenizer/persistence/pair_key_text.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

namespace {

constexpr std::uint64_t kMaxTokenId = std::numeric_limits<TokenId>::max();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

// ---- config.json: the settings a model keeps, as an object in field order.

constexpr std::string_view kPreTokenizationNames[] = {variant_name(PreTokenization::Whitespace),
                                                      variant_name(PreTokenization::Punctuation)};
constexpr std::string_view kRemovalMethodNames[] = {variant_name(SpecialTokenRemovalMethod::Simple),
                                                    variant_name(SpecialTokenRemovalMethod::AhoCorasick)};

std::string write_config(const Config& config, const Model&) {
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

// The four members that every config.json has, then the optional ones.
std::vector<std::string_view> config_fields() {
  std::vector<std::string_view> fields = {"target_vocab_size", "pre_tokenizer", "special_tokens",
                                          "special_token_removal_method"};
  for (const OptionalConfigMember& member : optional_config_members()) fields.push_back(member.key);
  return fields;
}
constexpr std::size_t kRequiredConfigFields = 4;

bool read_config(JsonFileReader& reader, SavedModel& saved) {
  Config& config = saved.config;
  static const std::vector<std::string_view> fields = config_fields();
  const std::span<const OptionalConfigMember> members = optional_config_members();
  // Where each optional member was read, for the checks that need the whole record first.
  std::vector<const char*> member_locations(members.size(), nullptr);
  const auto read_field = [&](std::size_t field, ondemand::value& value) {
    if (field >= kRequiredConfigFields) {
      const std::size_t member = field - kRequiredConfigFields;
      member_locations[member] = reader.location_of(value);
      return members[member].read(reader, value, config);
    }
    std::size_t variant = 0;
    switch (field) {
      case 0: return reader.read_unsigned(value, kMaxU64, config.target_vocab_size);
      case 1:
        if (!reader.read_variant(value, kPreTokenizationNames, variant)) return false;
        config.pre_tokenization = static_cast<PreTokenization>(variant);
        return true;
      case 2:
        return reader.read_array(value, "an array of strings", [&](ondemand::value& element) {
          std::string_view token;
          if (!reader.read_string(element, token)) return false;
          config.special_tokens.emplace_back(token);
          return true;
        });
      default:
        if (!reader.read_variant(value, kRemovalMethodNames, variant)) return false;
        config.special_token_removal_method = static_cast<SpecialTokenRemovalMethod>(variant);
        return true;
    }
  };
  if (!reader.read_record(reader.document(), "Config", fields, read_field, kRequiredConfigFields)) return false;
  for (std::size_t member = 0; member < members.size(); ++member) {
    if (member_locations[member] == nullptr || members[member].fault == nullptr) continue;
    if (auto fault = members[member].fault(config)) return reader.fail(member_locations[member], std::move(*fault));
  }
  return true;
}

// ---- token_table.json: {"id_to_token": [...], "token_to_id": {...}}. Loading fills the two
// directions separately, as they were saved, even where they disagree.

std::string write_token_table(const Config&, const Model& model) {
  const TokenTable& table = model.token_table;
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

bool read_token_table(JsonFileReader& reader, SavedModel& saved) {
  TokenTable& table = saved.model.token_table;
  static constexpr std::string_view fields[] = {"id_to_token", "token_to_id"};
  return reader.read_record(reader.document(), "TokenTable", fields, [&](std::size_t field, ondemand::value& value) {
    if (field == 0) {
      return reader.read_array(value, "an array of strings", [&](ondemand::value& element) {
        std::string_view token;
        if (!reader.read_string(element, token)) return false;
        if (table.full()) return reader.fail(reader.location_of(element), "more tokens than a vocabulary holds");
        table.append_id_to_token(token);
        return true;
      });
    }
    return reader.read_object(value, "an object of token ids",
                              [&](std::string_view token, const char*, ondemand::value& id_value) {
                                std::uint64_t id = 0;
                                if (!reader.read_unsigned(id_value, kMaxTokenId, id)) return false;
                                table.set_token_to_id(token, static_cast<TokenId>(id));  // a later key wins
                                return true;
                              });
  });
}

// ---- merge_rules.json: an array of [first, second] id pairs in learning order.

std::string write_merge_rules(const Config&, const Model& model) {
  const std::vector<Pair>& merge_rules = model.merge_rules;
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

bool read_merge_rules(JsonFileReader& reader, SavedModel& saved) {
  std::vector<Pair>& merge_rules = saved.model.merge_rules;
  return reader.read_array(reader.document(), "an array of merge rules", [&](ondemand::value& rule) {
    TokenId ids[2] = {};
    std::size_t count = 0;
    const auto wrong_length = [&](const char* location, std::string_view found) {
      return reader.fail(location, "expected a merge rule of 2 token ids, found " + std::string(found));
    };
    const bool read = reader.read_array(rule, "a merge rule (an array of 2 token ids)", [&](ondemand::value& id_value) {
      if (count == 2) return wrong_length(reader.location_of(id_value), "more");
      std::uint64_t id = 0;
      if (!reader.read_unsigned(id_value, kMaxTokenId, id)) return false;
      ids[count++] = static_cast<TokenId>(id);
      return true;
    });
    if (!read) return false;
    if (count < 2) return wrong_length(reader.closing_location(), std::to_string(count));
    merge_rules.push_back(Pair{ids[0], ids[1]});
    return true;
  });
}

// ---- save_ranks.json and pairs_to_merge.json: objects from pair keys "{first}_{second}" to
// numbers.

// Writes the members of a pair map: first the pairs of merge_rules in merge order, each once,
// then (only for a map that disagrees with merge_rules) whatever is left, in key order.
template <typename Value>
std::string write_pair_map(const std::vector<Pair>& merge_rules, const PairMap<Value>& map) {
  JsonWriter writer;
  writer.begin_object();
  absl::flat_hash_set<PairKey> written;
  insert_or_forget(written, [&] { written.reserve(map.size()); });
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

// save_ranks.json and pairs_to_merge.json: pair keys to numbers. A malformed key is reported
// only once the rest of the file has proved readable.
template <typename Value>
bool read_pair_map(JsonFileReader& reader, std::uint64_t max, PairMap<Value>& map) {
  return reader.read_object(reader.document(), "an object of pair keys",
                            [&](std::string_view key, const char* key_location, ondemand::value& value) {
                              std::uint64_t number = 0;
                              if (!reader.read_unsigned(value, max, number)) return false;
                              auto pair = parse_pair_key(key);
                              if (!pair) {
                                reader.defer_fault(key_location, "invalid pair key `" + std::string(key) + "`");
                                return true;
                              }
                              // A later key wins.
                              insert_or_forget(
                                  map, [&] { map.insert_or_assign(pair_key(*pair), static_cast<Value>(number)); });
                              return true;
                            });
}

std::string write_ranks(const Config&, const Model& model) { return write_pair_map(model.merge_rules, model.ranks); }
bool read_ranks(JsonFileReader& reader, SavedModel& saved) {
  // A saved model has one entry per distinct merge in each pair map.
  insert_or_forget(saved.model.ranks, [&] { saved.model.ranks.reserve(saved.model.merge_rules.size()); });
  return read_pair_map(reader, kMaxU64, saved.model.ranks);
}

std::string write_pairs_to_merge(const Config&, const Model& model) {
  return write_pair_map(model.merge_rules, model.pairs_to_merge);
}
bool read_pairs_to_merge(JsonFileReader& reader, SavedModel& saved) {
  insert_or_forget(saved.model.pairs_to_merge,
                   [&] { saved.model.pairs_to_merge.reserve(saved.model.merge_rules.size()); });
  return read_pair_map(reader, kMaxTokenId, saved.model.pairs_to_merge);
}

}  // namespace

// Compatibility: the bytes these write are what stored models hold (docs/architecture.md).
const std::array<ModelFile, 5> kModelFiles = {{
    {model_files::kConfig, write_config, read_config},
    {model_files::kTokenTable, write_token_table, read_token_table},
    {model_files::kMergeRules, write_merge_rules, read_merge_rules},
    {model_files::kRanks, write_ranks, read_ranks},
    {model_files::kPairsToMerge, write_pairs_to_merge, read_pairs_to_merge},
}};

Status read_model_text(const ModelFile& file, std::string text, SavedModel& saved) {
  JsonFileReader reader(file.name);
  if (!reader.start(std::move(text)) || !file.read(reader, saved) || !reader.finish() || reader.has_deferred_fault()) {
    return reader.error();
  }
  return {};
}

}  // namespace wrenmark
