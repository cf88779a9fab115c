#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/settings.hpp"
#include "encoding/encoding.hpp"

namespace wrenmark {

// Tokens ending in "</w>" whose text before the marker is not the word they came from. Such a
// token is a whole word when that text is any word of the call, which is known only once the
// whole text has been read, so these tokens are typed as subwords first and settled at the end.
class WordEndingTokens {
 public:
  void add(std::size_t token_index, std::string_view text_before_marker) {
    pending_.push_back(Pending{token_index, text_before_marker});
  }

  // Types as Word every pending token whose text before the marker is a word of `segments`.
  void resolve(const std::vector<std::string_view>& segments, PreTokenization pre_tokenization,
               Encoding& encoding) const;

 private:
  struct Pending {
    std::size_t token_index;
    std::string_view text_before_marker;
  };
  std::vector<Pending> pending_;
};

}  // namespace wrenmark
