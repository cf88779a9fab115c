#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

// One tokenizer: the settings it was built with and, once trained or loaded, its model. A
// tokenizer is trained exactly when it has a model. The model never changes once set, so it is
// shared read-only with whatever derives tables from it.
struct BpeTokenizer {
  explicit BpeTokenizer(TokenizerSettings settings_in) : settings(std::move(settings_in)) {}
  BpeTokenizer(TokenizerSettings settings_in, std::shared_ptr<const Model> model_in)
      : settings(std::move(settings_in)), model(std::move(model_in)) {}

  TokenizerSettings settings;
  std::shared_ptr<const Model> model;

  bool trained() const { return model != nullptr; }
  std::size_t vocab_size() const { return model ? model->token_table.size() : 0; }
  std::size_t merge_count() const { return model ? model->merge_rules.size() : 0; }
  Config config() const { return saved_config(settings); }
};

Result<std::string> get_token_by_id(const BpeTokenizer& tokenizer, std::uint64_t id);
Result<TokenId> get_id_by_token(const BpeTokenizer& tokenizer, std::string_view token);

}  // namespace wrenmark
