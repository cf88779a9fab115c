#include "bpe_tokenizer/text/pre_tokenization.hpp"

namespace wrenmark {

std::vector<std::string_view> pre_tokenize(std::string_view text, PreTokenization mode) {
  std::vector<std::string_view> words;
  for_each_word(text, mode, [&](std::string_view word) { words.push_back(word); });
  return words;
}

}  // namespace wrenmark
