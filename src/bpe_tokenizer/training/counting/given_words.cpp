#include "bpe_tokenizer/training/counting/given_words.hpp"

#include "bpe_tokenizer/text/word_scan.hpp"

namespace wrenmark {

std::string_view given_word_refusal(std::string_view word, PreTokenization mode) {
  if (word.empty()) return "is empty";
  bool whole = false;
  scan_words(word, mode, [&](std::string_view found) { whole = found.size() == word.size(); });
  if (whole) return {};
  return mode == PreTokenization::Whitespace ? "holds a separator of the Whitespace pre-tokenization"
                                             : "holds a separator of the Punctuation pre-tokenization";
}

}  // namespace wrenmark
