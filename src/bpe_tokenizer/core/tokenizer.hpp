#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/core/token_table.hpp"

namespace wrenmark {

inline constexpr std::string_view kEndOfWord = "</w>";

struct EncodingState;

// One tokenizer: the settings it was built with and, once trained or loaded, its model.
struct BpeTokenizer {
  explicit BpeTokenizer(TokenizerSettings settings_in) : settings(std::move(settings_in)) {}

  TokenizerSettings settings;
  TokenTable token_table;
  std::vector<Pair> merge_rules;
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> pairs_to_merge;
  bool is_trained = false;

  // Lookup tables and the word cache that encoding derives from the trained model on first use.
  // The model never changes once trained, so the state stays valid for the record's life; it is
  // mutable because it is a cache, and every call holds the interpreter lock.
  mutable std::shared_ptr<EncodingState> encoding_state;

  std::size_t vocab_size() const { return token_table.size(); }
  Config config() const;
};

Result<std::string> get_token_by_id(const BpeTokenizer& tokenizer, std::uint64_t id);
Result<TokenId> get_id_by_token(const BpeTokenizer& tokenizer, std::string_view token);

}  // namespace wrenmark
