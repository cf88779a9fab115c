#pragma once

#include <array>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

// Character to the id of its one-character token: an array for ASCII, a flat map for the rest,
// since nearly every character of real text is ASCII and is looked up once per occurrence.
class CharacterIds {
 public:
  static constexpr TokenId kMissing = std::numeric_limits<TokenId>::max();

  CharacterIds() { ascii_.fill(kMissing); }

  // The id of `code_point`, or kMissing.
  TokenId find(char32_t code_point) const {
    if (code_point < 128) return ascii_[code_point];
    auto found = others_.find(code_point);
    return found == others_.end() ? kMissing : found->second;
  }

  // Gives `code_point` the id `id` unless it has one already.
  void add(char32_t code_point, TokenId id) {
    if (code_point < 128) {
      if (ascii_[code_point] == kMissing) ascii_[code_point] = id;
    } else {
      insert_or_forget(others_, [&] { others_.emplace(code_point, id); });
    }
  }

 private:
  std::array<TokenId, 128> ascii_;
  absl::flat_hash_map<char32_t, TokenId> others_;
};

}  // namespace wrenmark
