#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/training/counting/block_cuts.hpp"
#include "bpe_tokenizer/training/counting/special_token_remover.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"

namespace wrenmark {

// The one path by which corpus text becomes word counts, for training on a file and for blocks
// counted elsewhere: check the block's UTF-8, delete the special tokens, split into words and
// count them, with first occurrences at (origin, offset in the cleaned block).
class BlockCounter {
 public:
  static Result<BlockCounter> create(const TokenizerSettings& settings);

  const BlockCuts& cuts() const { return *cuts_; }

  // Per-thread working memory of count().
  class Scratch {
   public:
    explicit Scratch(const BlockCounter& counter) : removal(counter.remover_->make_scratch()) {}

   private:
    friend class BlockCounter;
    std::unique_ptr<SpecialTokenRemover::Scratch, void (*)(SpecialTokenRemover::Scratch*)> removal;
  };

  // Counts the words of `block`, a stretch of the corpus between two safe cuts, into `table`.
  // A block that is not valid UTF-8 fails with ErrorKind::CorpusUnreadable naming the offset of
  // the first bad byte plus `offset_base`, and `table` is left unchanged.
  Status count(std::string_view block, std::uint64_t origin, WordCountTable& table, Scratch& scratch,
               std::size_t offset_base = 0) const;

 private:
  BlockCounter() = default;

  PreTokenization mode_ = PreTokenization::Whitespace;
  std::shared_ptr<const SpecialTokenRemover> remover_;
  std::shared_ptr<const BlockCuts> cuts_;
};

}  // namespace wrenmark
