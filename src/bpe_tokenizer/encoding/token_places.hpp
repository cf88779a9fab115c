#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/packed_encoding.hpp"

namespace wrenmark {

// Where one token of an encoding comes from: its span [start, end) in code points of the
// encoded text, as Python indexes a str, and the index of its word (kNoWord for a special token).
// Words are numbered in text order as pre-tokenization splits them, every special token that
// has a token counting as one too.
struct TokenPlace {
  static constexpr std::uint64_t kNoWord = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t word;
};

// The place of every token of `encoding`, which `tables` made, in token order. Nothing of this
// is kept while encoding: the text is cut and split into words again exactly as encoding cut it,
// and each word's characters are walked alongside its tokens, so any split of a word into tokens
// is placed. A token that spells the next text of its word covers it ("</w>" removed at the
// word's end, so "</w>" alone covers the empty span there); a token that does not (the unknown
// token, a byte token) stands in for the whole character it is at. A special token covers its
// own text. Tokens whose text is not that of their parts (a hand-made model) are placed as
// well as their text allows, always inside the text and in order.
std::vector<TokenPlace> place_tokens(const EncodingTables& tables, EncodingView encoding);

}  // namespace wrenmark
