#include "bpe_tokenizer/encoding/word_ending_tokens.hpp"

namespace wrenmark {

void WordEndingTokens::resolve(Encoding& encoding) const {
  if (stem_is_word_.empty()) return;
  for (const Undecided& token : undecided_) {
    if (stem_is_word_[token.stem] != 0) encoding.token_types[token.token_index] = TokenType::Word;
  }
}

}  // namespace wrenmark
