#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/encoding/append_buffer.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/packed_encoding.hpp"

namespace wrenmark {

// Tokens ending in "</w>" are whole words when their stem is any word of the call, which is
// known only once the whole text has been read. A token whose stem is the word it came from is
// settled at once; the others are typed as subwords first and settled by `resolve`.
// One instance serves one caller's calls in turn and keeps its buffers between them: a call
// costs time in its own words, not in the number of stems.
class WordEndingTokens {
 public:
  // Forgets the previous call; the tables of the new one have `stem_count` stems, its text
  // `text_size` bytes.
  void start(std::size_t stem_count, std::size_t text_size) {
    for (const StemIndex stem : noted_stems_) stem_is_word_[stem] = 0;
    noted_stems_.clear();
    undecided_.clear();
    // Sized up front like the encoding's own buffers, and erring high in the same way: a
    // long first text would otherwise grow the list a dozen times, copying it each time.
    undecided_.reserve(text_size / kBytesPerUndecidedEstimate);
    if (stem_is_word_.size() < stem_count) stem_is_word_.resize(stem_count);
  }

  // Notes that a word of the call equals stem `stem` (or no stem, for kNoStem).
  void note_word(StemIndex stem) {
    if (stem == kNoStem || stem_is_word_[stem] != 0) return;
    stem_is_word_[stem] = 1;
    noted_stems_.push_back(stem);
  }

  void add_undecided(std::size_t token_index, StemIndex stem) { undecided_.push_back(Undecided{token_index, stem}); }

  // Types as Word every undecided token whose stem turned out to be a word of the call.
  void resolve(EncodingBuilder& encoding) const;

 private:
  struct Undecided {
    std::size_t token_index;
    StemIndex stem;
  };
  // At most one per token: prose gives a token per 3 bytes of text and an undecided one per 12
  // (32k model). Room reserved and never written costs no page.
  static constexpr std::size_t kBytesPerUndecidedEstimate = 4;
  // Zero everywhere except at the stems noted in the current call.
  std::vector<std::uint8_t> stem_is_word_;
  std::vector<StemIndex> noted_stems_;
  AppendBuffer<Undecided> undecided_;
};

}  // namespace wrenmark
