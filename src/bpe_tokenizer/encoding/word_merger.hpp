#pragma once

#include <memory>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/pair_merge_index.hpp"

namespace wrenmark {

// Rewrites words by the learnt merges: repeatedly take the lowest-ranked adjacent pair (the
// leftmost of equal ranks) and replace all its occurrences left to right without overlap; stop
// when no pair has a rank or the chosen pair merges into nothing. It keeps buffers from word to
// word, so one merger serves one caller at a time.
class WordMerger {
 public:
  WordMerger();
  ~WordMerger();
  WordMerger(const WordMerger&) = delete;
  WordMerger& operator=(const WordMerger&) = delete;

  void apply(std::vector<TokenId>& symbols, const MergeTable& merges);
  // The same through the flat index of the same merges.
  void apply(std::vector<TokenId>& symbols, const PairMergeIndex& merges);

  // The buffers and the two merging strategies are the .cpp file's own.
  struct Workspace;

 private:
  std::unique_ptr<Workspace> workspace_;
};

}  // namespace wrenmark
