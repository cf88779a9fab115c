#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/character_ids.hpp"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/encoding/pair_merge_index.hpp"
#include "bpe_tokenizer/encoding/special_token_splitter.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/text/word_hash.hpp"

namespace wrenmark {

// How a token's text decides its kind, before the words of a call are known.
enum class TokenClass : std::uint8_t {
  Plain,           // neither a special token nor ending with "</w>": always a subword
  Special,         // "</w>" itself or one of the special tokens
  EndsWithMarker,  // a whole word when its stem (the text before "</w>") is a word of the call
};

// Distinct stems are numbered, so that "is this word the stem of some token" is answered once
// per distinct word and remembered as a number.
using StemIndex = std::uint32_t;
inline constexpr StemIndex kNoStem = std::numeric_limits<StemIndex>::max();

// Character ids, merges and token kinds, derived once from a model and the settings that
// encoding reads. Nothing changes them afterwards, so any number of threads may read one set at
// once; they keep the model alive, since they hold views into its token table.
class EncodingTables {
 public:
  EncodingTables(std::shared_ptr<const Model> model, const TokenizerSettings& settings);
  // The merge index points into the merge table.
  EncodingTables(const EncodingTables&) = delete;
  EncodingTables& operator=(const EncodingTables&) = delete;

  const Model& model() const { return *model_; }
  const TokenTable& token_table() const { return model_->token_table; }
  PreTokenization pre_tokenization() const { return pre_tokenization_; }

  // The id of the one-character token for the character starting at `character`, or
  // CharacterIds::kMissing.
  TokenId character_id(std::string_view character) const { return character_ids_.find(utf8::decode(character)); }
  std::optional<TokenId> end_of_word_id() const { return end_of_word_id_; }
  // The merges in the general map, for dropout and for spelling words when training goes on.
  // Derived on first use, so that plain encoding does not wait for a table it never reads.
  const MergeTable& merges() const {
    const MergeTable* derived = merges_.load(std::memory_order_acquire);
    return derived != nullptr ? *derived : derive_merges();
  }
  // The same merges in the flat index that encoding's merging reads.
  const PairMergeIndex& merge_index() const { return merge_index_; }
  const SpecialTokenSplitter& splitter() const { return splitter_; }
  // The id of `token` in the token table. The special tokens, among them the unknown token that
  // every call looks up, are answered from a short list instead of hashing.
  std::optional<TokenId> id_of_token(std::string_view token) const {
    for (const auto& [special, id] : special_token_ids_) {
      if (special == token) return id;
    }
    return token_table().id_by_token(token);
  }

  // What encoding appends for a token: its text (a view into the token table), class and stem.
  struct TokenInfo {
    std::string_view text;
    TokenClass token_class;
    StemIndex stem;
  };

  // Class and stem of the token with `id`, which is below the vocabulary size.
  TokenClass token_class(TokenId id) const { return tokens_[id].token_class; }
  StemIndex token_stem(TokenId id) const { return tokens_[id].stem; }
  // The token with `id`, or nullptr for an id beyond the vocabulary, which has no text.
  const TokenInfo* token_info(TokenId id) const { return id < tokens_.size() ? &tokens_[id] : nullptr; }

  // The id of the byte token of `byte`, or CharacterIds::kMissing when the vocabulary lacks it.
  TokenId byte_token_id(std::uint8_t byte) const { return byte_token_ids_[byte]; }
  // The byte that the token with `id` stands for when byte fallback is on, or -1 for a token that
  // is not a byte token.
  int byte_of_token(TokenId id) const { return id < byte_values_.size() ? byte_values_[id] : -1; }

  // The index of the stem equal to `word`, or kNoStem.
  StemIndex stem_of_word(std::string_view word) const;
  // Start loading what stem_of_word(word) and token_info(id) read, ahead of a first encoding's
  // reads, which miss the caches.
  void prefetch_stem_of_word(std::string_view word) const { stem_indices_.prefetch(word); }
  void prefetch_token_info(TokenId id) const {
    if (id < tokens_.size()) __builtin_prefetch(&tokens_[id]);
  }
  std::size_t stem_count() const { return stem_indices_.size(); }

 private:
  void find_byte_tokens();
  const MergeTable& derive_merges() const;

  std::shared_ptr<const Model> model_;
  PreTokenization pre_tokenization_;
  CharacterIds character_ids_;
  std::optional<TokenId> end_of_word_id_;
  PairMergeIndex merge_index_;
  mutable std::mutex merges_mutex_;
  mutable std::unique_ptr<const MergeTable> merges_table_;
  mutable std::atomic<const MergeTable*> merges_{nullptr};
  SpecialTokenSplitter splitter_;
  std::vector<std::pair<std::string, std::optional<TokenId>>> special_token_ids_;
  std::vector<TokenInfo> tokens_;
  std::array<TokenId, 256> byte_token_ids_;
  // By id up to the last byte token; empty when the vocabulary has none.
  std::vector<std::int16_t> byte_values_;
  absl::flat_hash_map<std::string_view, StemIndex, StringViewHash> stem_indices_;
};

}  // namespace wrenmark
