#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

// Where the corpus may be cut into blocks that are cleaned of special tokens, split into words
// and counted each on its own, with the same words, counts and first-occurrence order as the
// whole corpus in one piece.
//
// A cut at p lies between byte p - 1 and byte p. It is safe when:
//  - the character ending at p - 1 is a white-space character that no special token (of those
//    that removal looks for) contains. Removal never deletes it nor matches across it, and it
//    separates words. This is the rule whenever some white-space character occurs in no token,
//    so a line feed, a blank or a tab usually qualifies.
//  - otherwise (every white-space character occurs in some token): byte p - 1 is an ASCII
//    white-space byte, and no occurrence in the text of any token comes within R bytes of it,
//    R being 0 for AhoCorasick and, for Simple, the sum over the tokens of (length - 1). Each
//    Simple pass can join text from outside into a new occurrence reaching at most
//    (length - 1) bytes further in, so after all passes the byte is still neither deleted nor
//    inside a match.
// The decision at p reads only the bytes within margin() of p, and the text before the block's
// own start counts as absent (the block is processed from its start).
class BlockCuts {
 public:
  BlockCuts(const std::vector<std::string>& effective_tokens, SpecialTokenRemovalMethod method);

  // Bytes on either side of a cut that decide whether it is safe.
  std::size_t margin() const { return margin_; }

  // The first safe cut p with from <= p, 0 < p, p <= text.size(), whose margin on the right
  // lies inside `text` unless `text_is_final` (then the text's end is the corpus's end);
  // nullopt when there is none. The text before `text` begins is taken as absent: `text`
  // starts at the corpus start or at a safe cut, or the caller asks only for p >= margin().
  std::optional<std::size_t> first_cut(std::string_view text, std::size_t from, bool text_is_final) const;

 private:
  std::optional<std::size_t> first_separator_cut(std::string_view text, std::size_t from, std::size_t last) const;
  std::optional<std::size_t> first_quiet_cut(std::string_view text, std::size_t from, std::size_t last) const;

  std::array<bool, 256> separator_byte_{};        // ASCII white space that no token holds
  std::vector<std::string> separator_sequences_;  // the same for the multi-byte white space
  bool has_separator_ = false;
  std::vector<std::string> tokens_;
  std::size_t zone_radius_ = 0;
  std::size_t margin_ = 0;
};

}  // namespace wrenmark
