#include "bpe_tokenizer/persistence/model_bytes.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/byte_format.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

constexpr std::uint64_t kMaxTokenId = std::numeric_limits<TokenId>::max();

TokenizerError malformed(std::string_view what) {
  return TokenizerError(ErrorKind::InvalidState, "invalid tokenizer state: " + std::string(what));
}

void put_text(std::string& out, std::string_view text) {
  put_varint(out, text.size());
  out.append(text);
}

// Read in the map's own order, which touches memory in sequence: the sizes are equal and every
// entry names a token whose id it holds, so the keys are distinct, and so are the ids.
bool token_to_id_is_inverse(const TokenTable& table) {
  if (table.token_to_id().size() != table.size()) return false;
  const std::span<const std::string_view> tokens = table.id_to_token();
  for (const auto& [token, id] : table.token_to_id()) {
    if (id >= tokens.size()) return false;
    // A trained table shares one copy of every string between the two directions.
    if (tokens[id].size() != token.size() || (tokens[id].data() != token.data() && tokens[id] != token)) return false;
  }
  return true;
}

// The entries of a pair map in (value, key) order, since the map's own order is randomly seeded.
// The values of a model's maps are ranks and token ids, smaller than the map is large or not much
// larger, so a counting sort by value does it in linear time (a comparison sort of this many
// entries costs more than the rest of the writing); larger values take the comparison sort.
template <typename Value>
std::vector<std::pair<PairKey, Value>> entries_by_value(const PairMap<Value>& map) {
  using Entry = std::pair<PairKey, Value>;
  std::vector<Entry> entries(map.begin(), map.end());
  const auto by_key = [](const Entry& a, const Entry& b) { return a.first < b.first; };
  std::uint64_t largest = 0;
  for (const Entry& entry : entries) largest = std::max<std::uint64_t>(largest, entry.second);
  if (largest > 4 * static_cast<std::uint64_t>(entries.size()) + 1024) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    return entries;
  }
  std::vector<std::size_t> starts(largest + 2, 0);
  for (const Entry& entry : entries) ++starts[entry.second + 1];
  for (std::size_t value = 1; value < starts.size(); ++value) starts[value] += starts[value - 1];
  std::vector<Entry> sorted(entries.size());
  for (const Entry& entry : entries) sorted[starts[entry.second]++] = entry;
  // Entries of equal value are next to each other; put each such run in key order.
  for (std::size_t begin = 0; begin < sorted.size();) {
    std::size_t end = begin + 1;
    while (end < sorted.size() && sorted[end].second == sorted[begin].second) ++end;
    if (end - begin > 1) std::sort(sorted.begin() + begin, sorted.begin() + end, by_key);
    begin = end;
  }
  return sorted;
}

template <typename Value>
void put_pair_map(std::string& out, const PairMap<Value>& map) {
  put_varint(out, map.size());
  for (const auto& [key, value] : entries_by_value(map)) {
    const Pair pair = pair_from_key(key);
    put_varint(out, pair.first);
    put_varint(out, pair.second);
    put_varint(out, value);
  }
}

// Reads the fields of the form in order; each read fails on a short or out-of-range field.
class ModelBytesReader {
 public:
  explicit ModelBytesReader(std::string_view bytes) : bytes_(bytes), reader_(bytes) {}

  // A count of items that take at least `item_bytes` bytes each, so that no count larger than
  // the bytes can hold is trusted with a reservation.
  bool count(std::size_t item_bytes, std::uint64_t& value) {
    return reader_.varint(value) && value <= bytes_.size() / item_bytes;
  }
  bool id(TokenId& value) {
    std::uint64_t read = 0;
    if (!reader_.varint(read) || read > kMaxTokenId) return false;
    value = static_cast<TokenId>(read);
    return true;
  }
  bool pair(Pair& value) { return id(value.first) && id(value.second); }
  bool size(std::uint64_t& value) { return reader_.varint(value); }
  bool text(std::uint64_t size, std::string_view& value) { return reader_.text(size, value); }
  std::size_t remaining() const { return reader_.remaining(); }
  bool token(std::string_view& text) {
    std::uint64_t size = 0;
    return reader_.varint(size) && reader_.text(size, text) && utf8::is_valid(text);
  }
  bool flag(bool& value) {
    std::uint64_t read = 0;
    if (!reader_.fixed(1, read) || read > 1) return false;
    value = read == 1;
    return true;
  }
  template <typename Value>
  bool pair_map(PairMap<Value>& map) {
    std::uint64_t entries = 0;
    if (!count(3, entries)) return false;
    insert_or_forget(map, [&] { map.reserve(entries); });
    for (std::uint64_t entry = 0; entry < entries; ++entry) {
      Pair pair;
      std::uint64_t value = 0;
      if (!this->pair(pair) || !reader_.varint(value) || value > std::numeric_limits<Value>::max()) return false;
      insert_or_forget(map, [&] { map.insert_or_assign(pair_key(pair), static_cast<Value>(value)); });
    }
    return true;
  }
  bool at_end() const { return reader_.at_end(); }

 private:
  std::string_view bytes_;
  ByteReader reader_;
};

// The tokens are valid UTF-8 each when their bytes are valid as a whole and no token but the
// first starts inside a character.
bool tokens_are_valid(std::string_view bytes, std::span<const std::uint64_t> sizes) {
  if (!utf8::is_valid(bytes)) return false;
  std::size_t start = 0;
  for (const std::uint64_t size : sizes) {
    if (start < bytes.size() && utf8::is_continuation(static_cast<unsigned char>(bytes[start]))) return false;
    start += size;
  }
  return true;
}

Status read_token_table(ModelBytesReader& reader, TokenTable& table) {
  std::uint64_t tokens = 0;
  if (!reader.count(1, tokens) || tokens > TokenTable::kMaxTokens) return malformed("malformed token count");
  std::vector<std::uint64_t> sizes(tokens);
  const std::size_t available = reader.remaining();
  std::uint64_t total = 0;
  for (std::uint64_t& size : sizes) {
    if (!reader.size(size) || size > available - total) return malformed("malformed token size");
    total += size;
  }
  std::string_view bytes;
  if (!reader.text(total, bytes) || !tokens_are_valid(bytes, sizes)) return malformed("malformed tokens");
  bool inverse = false;
  if (!reader.flag(inverse)) return malformed("malformed token table");
  table.reserve(tokens);
  std::size_t start = 0;
  for (std::size_t id = 0; id < sizes.size(); ++id) {
    const std::string_view token = bytes.substr(start, sizes[id]);
    start += sizes[id];
    if (!inverse) {
      table.append_id_to_token(token);
    } else if (table.add_token(token) != id) {
      return malformed("a token repeats in a table said to be one to one");
    }
  }
  if (inverse) return {};
  std::uint64_t entries = 0;
  if (!reader.count(2, entries)) return malformed("malformed token_to_id count");
  for (std::uint64_t entry = 0; entry < entries; ++entry) {
    std::string_view token;
    TokenId id = 0;
    if (!reader.token(token) || !reader.id(id)) return malformed("malformed token_to_id entry");
    table.set_token_to_id(token, id);
  }
  return {};
}

}  // namespace

void append_model_bytes(const Model& model, std::string& out) {
  const TokenTable& table = model.token_table;
  // Room for the common case: token bytes, at most three bytes per varint of a size or an id.
  std::size_t token_bytes = 0;
  for (const std::string_view token : table.id_to_token()) token_bytes += token.size();
  out.reserve(out.size() + token_bytes + 3 * table.size() + 6 * model.merge_rules.size() +
              9 * (model.ranks.size() + model.pairs_to_merge.size()) + 32);
  put_varint(out, table.size());
  for (const std::string_view token : table.id_to_token()) put_varint(out, token.size());
  for (const std::string_view token : table.id_to_token()) out.append(token);
  if (token_to_id_is_inverse(table)) {
    out.push_back(1);
  } else {
    out.push_back(0);
    std::vector<std::pair<TokenId, std::string_view>> by_id;
    by_id.reserve(table.token_to_id().size());
    for (const auto& [token, id] : table.token_to_id()) by_id.emplace_back(id, token);
    std::sort(by_id.begin(), by_id.end());
    put_varint(out, by_id.size());
    for (const auto& [id, token] : by_id) {
      put_text(out, token);
      put_varint(out, id);
    }
  }
  put_varint(out, model.merge_rules.size());
  for (const Pair pair : model.merge_rules) {
    put_varint(out, pair.first);
    put_varint(out, pair.second);
  }
  put_pair_map(out, model.ranks);
  put_pair_map(out, model.pairs_to_merge);
}

Result<Model> parse_model_bytes(std::string_view bytes) {
  ModelBytesReader reader(bytes);
  Model model;
  if (Status read = read_token_table(reader, model.token_table); !read) return read.error();
  std::uint64_t rules = 0;
  if (!reader.count(2, rules)) return malformed("malformed merge rule count");
  model.merge_rules.resize(rules);
  for (Pair& rule : model.merge_rules) {
    if (!reader.pair(rule)) return malformed("malformed merge rule");
  }
  if (!reader.pair_map(model.ranks)) return malformed("malformed ranks");
  if (!reader.pair_map(model.pairs_to_merge)) return malformed("malformed pairs_to_merge");
  if (!reader.at_end()) return malformed("trailing bytes after the model");
  return model;
}

}  // namespace wrenmark
