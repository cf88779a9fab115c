#include "encoding/word_ending_tokens.hpp"

#include <algorithm>

#include "absl/container/flat_hash_map.h"
#include "text/pre_tokenizer.hpp"

namespace wrenmark {

void WordEndingTokens::resolve(const std::vector<std::string_view>& segments, PreTokenization pre_tokenization,
                               Encoding& encoding) const {
  if (pending_.empty()) return;
  // The distinct texts in question are few (at most one per vocabulary entry), so the words of
  // the text are checked against them rather than collected.
  absl::flat_hash_map<std::string_view, bool> is_word;
  std::size_t longest = 0;
  for (const Pending& pending : pending_) {
    if (pending.text_before_marker.empty()) continue;
    is_word.emplace(pending.text_before_marker, false);
    longest = std::max(longest, pending.text_before_marker.size());
  }
  std::size_t unresolved = is_word.size();
  for (const std::string_view segment : segments) {
    if (unresolved == 0) break;
    for_each_word(segment, pre_tokenization, [&](std::string_view word) {
      if (unresolved == 0 || word.size() > longest) return;
      auto found = is_word.find(word);
      if (found == is_word.end() || found->second) return;
      found->second = true;
      --unresolved;
    });
  }
  for (const Pending& pending : pending_) {
    auto found = is_word.find(pending.text_before_marker);
    if (found != is_word.end() && found->second) encoding.token_types[pending.token_index] = TokenType::Word;
  }
}

}  // namespace wrenmark
