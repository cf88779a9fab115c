#include "bpe_tokenizer/encoding/word_ending_tokens.hpp"

namespace wrenmark {

void WordEndingTokens::resolve(EncodingBuilder& encoding) const {
  if (noted_stems_.empty()) return;
  for (const Undecided& token : undecided_) {
    if (stem_is_word_[token.stem] != 0) encoding.set_token_type(token.token_index, TokenType::Word);
  }
}

}  // namespace wrenmark
