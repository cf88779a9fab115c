#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/encoding/encoding_result.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"

namespace wrenmark {

// Tokens ending in "</w>" are whole words when their stem is any word of the call, which is
// known only once the whole text has been read. A token whose stem is the word it came from is
// settled at once; the others are typed as subwords first and settled by `resolve`.
class WordEndingTokens {
 public:
  explicit WordEndingTokens(std::size_t stem_count) : stem_count_(stem_count) {}

  // Notes that a word of the call equals stem `stem` (or no stem, for kNoStem).
  void note_word(StemIndex stem) {
    if (stem == kNoStem) return;
    if (stem_is_word_.empty()) stem_is_word_.resize(stem_count_);
    stem_is_word_[stem] = 1;
  }

  void add_undecided(std::size_t token_index, StemIndex stem) { undecided_.push_back(Undecided{token_index, stem}); }

  // Types as Word every undecided token whose stem turned out to be a word of the call.
  void resolve(Encoding& encoding) const;

 private:
  struct Undecided {
    std::size_t token_index;
    StemIndex stem;
  };
  std::size_t stem_count_;
  std::vector<std::uint8_t> stem_is_word_;
  std::vector<Undecided> undecided_;
};

}  // namespace wrenmark
