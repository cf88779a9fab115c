#pragma once

#include <string>
#include <string_view>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"

namespace wrenmark {

// A compact byte form of a model, exactly what the four model files beside config.json hold,
// for the tokenizer state (tokenizer_state.hpp). "varint" is unsigned LEB128.
//
//   varint token count, then per token in id order its varint size, then the UTF-8 bytes of
//      all tokens back to back                                                    (id_to_token)
//   u8 1 when token_to_id is exactly the inverse of id_to_token; else 0, then varint count and
//      per entry in (id, token) order: varint size, the bytes, varint id
//   varint rule count, then per rule: varint first, varint second                  (merge_rules)
//   twice, ranks then pairs_to_merge: varint count, then per entry in (value, pair) order:
//      varint first, varint second, varint value
//
// Equal models give equal bytes. Reading checks every field and the UTF-8 of every token, never
// reads outside the given bytes and, like loading, cross-checks nothing between the parts.
void append_model_bytes(const Model& model, std::string& out);
Result<Model> parse_model_bytes(std::string_view bytes);

}  // namespace wrenmark
