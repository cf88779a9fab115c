#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

// Deletes the special tokens from one block of text at a time, with the matcher built once for
// all blocks. Simple runs one left-to-right, non-overlapping find-and-delete pass per token in
// list order, each over the previous pass's output; AhoCorasick takes all tokens in one pass,
// taking at each point the occurrence that ends first (the longest of those ending together).
//
// One remover serves several threads at once: each thread passes its own RemovalScratch.
class SpecialTokenRemover {
 public:
  static Result<std::shared_ptr<const SpecialTokenRemover>> create(const std::vector<std::string>& tokens,
                                                                   SpecialTokenRemovalMethod method);
  ~SpecialTokenRemover();

  // The tokens that removal actually looks for: the non-empty ones in list order for Simple; for
  // AhoCorasick all of them, or none when one is empty (an empty token matches first everywhere,
  // so nothing is ever removed).
  const std::vector<std::string>& effective_tokens() const { return effective_; }
  SpecialTokenRemovalMethod method() const { return method_; }

  struct Scratch;
  std::unique_ptr<Scratch, void (*)(Scratch*)> make_scratch() const;

  // The text with every special token deleted; `text` itself when there is nothing to delete.
  // The result may live in `scratch` and stays valid until its next use.
  Result<std::string_view> remove(std::string_view text, Scratch& scratch) const;

 private:
  struct Matcher;
  SpecialTokenRemover() = default;

  SpecialTokenRemovalMethod method_ = SpecialTokenRemovalMethod::Simple;
  std::vector<std::string> effective_;
  std::unique_ptr<Matcher> matcher_;
};

}  // namespace wrenmark
