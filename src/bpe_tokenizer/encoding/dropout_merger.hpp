#pragma once

#include <cstdint>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"

namespace wrenmark {

// Where the draws of BPE-dropout come from. Every draw is a hash of the seed, the text's index in
// its batch, the byte offset in the text of the symbols being merged and the draw's number among
// theirs, so a text's encoding depends on none of the threads or pieces of a batch.
struct DropoutDraws {
  double probability = 0.0;
  std::uint64_t seed = 0;
  std::uint64_t text_index = 0;
};

// A seed for calls that are given none: different on every call.
std::uint64_t fresh_dropout_seed();

// Rewrites words by the learnt merges as BPE-dropout does: at every step each occurrence of a
// ranked pair is dropped with the draws' probability, independently of the others; the
// best-ranked remaining occurrence (the leftmost of equal ranks) is merged, one occurrence, and
// the next step draws afresh. The word is done when every occurrence was dropped, none is left,
// or the chosen pair merges into nothing. It keeps buffers from word to word, so one merger
// serves one caller at a time.
class DropoutMerger {
 public:
  // `offset` is the byte offset in the text of the first symbol's text.
  void apply(std::vector<TokenId>& symbols, const MergeTable& merges, const DropoutDraws& draws, std::uint64_t offset);

 private:
  // One occurrence of a ranked pair, by the positions of its two symbols in the original word;
  // it is stale once either symbol changed or they are no longer neighbours.
  struct Occurrence {
    std::uint64_t rank;
    std::uint32_t left;
    std::uint32_t right;
    TokenId left_id;
    TokenId right_id;
  };

  void offer(const std::vector<TokenId>& symbols, const MergeTable& merges, std::uint32_t left);
  bool current(const Occurrence& occurrence, const std::vector<TokenId>& symbols) const;
  void push(const Occurrence& occurrence);
  Occurrence pop();

  std::vector<Occurrence> heap_;
  std::vector<Occurrence> dropped_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> previous_;
};

}  // namespace wrenmark
