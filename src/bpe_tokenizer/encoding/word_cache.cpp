#include "bpe_tokenizer/encoding/word_cache.hpp"

#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

void WordCache::insert(std::string_view word, const WordTokens& tokens) {
  // Only a model whose merged tokens are not the texts they join gives a short word long tokens.
  if (word.empty() || word.size() > kMaxWordBytes || tokens.text.size() > kMaxTokenTextBytes) return;
  const std::size_t text_bytes = word.size() + tokens.text.size();
  if (entries_.size() >= kMaxEntries || ids_.size() + tokens.ids.size() > kMaxIds ||
      words_.bytes_used() + text_bytes > kMaxTextBytes) {
    clear();
  }
  // Stored as one string so that the token text follows the word.
  joined_.assign(word).append(tokens.text);
  const std::string_view stored = words_.store(joined_);
  const Entry entry{
      static_cast<std::uint32_t>(ids_.size()),         static_cast<std::uint32_t>(tokens.ids.size()),
      static_cast<std::uint32_t>(token_types_.size()), static_cast<std::uint32_t>(tokens.token_types.size()),
      static_cast<std::uint32_t>(undecided_.size()),   static_cast<std::uint32_t>(tokens.undecided.size()),
      static_cast<std::uint32_t>(tokens.text.size()),  tokens.stem};
  ids_.append(tokens.ids);
  token_sizes_.append(tokens.token_sizes);
  token_types_.append(tokens.token_types);
  undecided_.append(tokens.undecided);
  try {
    entries_.emplace(stored.substr(0, word.size()), entry);
  } catch (...) {
    // The cache is lent to the next call again.
    forget_broken_map(entries_);
    clear();
    throw;
  }
}

void WordCache::clear() {
  entries_.clear();
  ids_.clear();
  token_sizes_.clear();
  token_types_.clear();
  undecided_.clear();
  words_.clear();
}

}  // namespace wrenmark
