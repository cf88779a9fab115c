#include "bpe_tokenizer/encoding/encoding_tables.hpp"

#include <utility>

#include "absl/container/flat_hash_set.h"
#include "bpe_tokenizer/core/byte_tokens.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

bool is_single_character(std::string_view token) {
  return !token.empty() && utf8::sequence_length(static_cast<unsigned char>(token[0])) == token.size();
}

}  // namespace

EncodingTables::EncodingTables(std::shared_ptr<const Model> model, const TokenizerSettings& settings)
    : model_(std::move(model)), pre_tokenization_(settings.pre_tokenization), splitter_(settings.special_tokens) {
  const Model& source = *model_;
  for (const auto& [token, id] : source.token_table.token_to_id()) {
    if (is_single_character(token)) character_ids_.add(utf8::decode(token), id);
  }
  end_of_word_id_ = source.token_table.id_by_token(kEndOfWord);
  find_byte_tokens();

  merge_index_ = PairMergeIndex(source.ranks, source.pairs_to_merge);

  for (const std::string& token : settings.special_tokens) {
    special_token_ids_.emplace_back(token, source.token_table.id_by_token(token));
  }

  absl::flat_hash_set<std::string_view, StringViewHash> special_tokens;
  insert_or_forget(special_tokens,
                   [&] { special_tokens.insert(settings.special_tokens.begin(), settings.special_tokens.end()); });
  // Views into the token table, which lives as long as these tables.
  const auto id_to_token = source.token_table.id_to_token();
  tokens_.reserve(id_to_token.size());
  for (const std::string_view token : id_to_token) {
    if (token == kEndOfWord || special_tokens.contains(token)) {
      tokens_.push_back(TokenInfo{token, TokenClass::Special, kNoStem});
    } else if (token.ends_with(kEndOfWord)) {
      const std::string_view stem = token.substr(0, token.size() - kEndOfWord.size());
      const auto entry = insert_or_forget(stem_indices_, [&] {
        return stem_indices_.emplace(stem, static_cast<StemIndex>(stem_indices_.size())).first;
      });
      tokens_.push_back(TokenInfo{token, TokenClass::EndsWithMarker, entry->second});
    } else {
      tokens_.push_back(TokenInfo{token, TokenClass::Plain, kNoStem});
    }
  }
}

void EncodingTables::find_byte_tokens() {
  byte_token_ids_.fill(CharacterIds::kMissing);
  for (std::size_t byte = 0; byte < kByteTokenCount; ++byte) {
    const auto id = model_->token_table.id_by_token(byte_token_text(static_cast<std::uint8_t>(byte)));
    if (!id) continue;
    byte_token_ids_[byte] = *id;
    if (byte_values_.size() <= *id) byte_values_.resize(*id + 1, -1);
    byte_values_[*id] = static_cast<std::int16_t>(byte);
  }
}

const MergeTable& EncodingTables::derive_merges() const {
  const std::lock_guard lock(merges_mutex_);
  if (const MergeTable* derived = merges_.load(std::memory_order_relaxed)) return *derived;
  const Model& source = *model_;
  auto merges = std::make_unique<MergeTable>();
  // Reserved whole, so that no insertion grows it; a map whose growth failed may not be destroyed.
  insert_or_forget(*merges, [&] { merges->reserve(source.ranks.size()); });
  for (const auto& [pair, rank] : source.ranks) {
    auto merged = source.pairs_to_merge.find(pair);
    const bool has_merged = merged != source.pairs_to_merge.end();
    merges->emplace(pair, RankedMerge{rank, has_merged ? merged->second : TokenId{0}, has_merged});
  }
  merges_table_ = std::move(merges);
  merges_.store(merges_table_.get(), std::memory_order_release);
  return *merges_table_;
}

StemIndex EncodingTables::stem_of_word(std::string_view word) const {
  auto found = stem_indices_.find(word);
  return found == stem_indices_.end() ? kNoStem : found->second;
}

}  // namespace wrenmark
