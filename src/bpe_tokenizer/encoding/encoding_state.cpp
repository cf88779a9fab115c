#include "bpe_tokenizer/encoding/encoding_state.hpp"

namespace wrenmark {

EncodingState& encoding_state(const BpeTokenizer& tokenizer) {
  if (!tokenizer.encoding_state) tokenizer.encoding_state = std::make_shared<EncodingState>(tokenizer);
  return *tokenizer.encoding_state;
}

}  // namespace wrenmark
