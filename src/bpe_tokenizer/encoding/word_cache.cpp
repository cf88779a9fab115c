#include "bpe_tokenizer/encoding/word_cache.hpp"

#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

void WordCache::insert(std::string_view word, std::span<const TokenId> ids, StemIndex stem) {
  if (word.empty() || word.size() > kMaxWordBytes || ids.size() > kMaxIds) return;
  if (entries_.size() >= kMaxEntries || ids_.size() + ids.size() > kMaxIds ||
      words_.bytes_used() + word.size() > kMaxTextBytes) {
    clear();
  }
  const std::string_view stored = words_.store(word);
  const auto first_id = static_cast<std::uint32_t>(ids_.size());
  ids_.insert(ids_.end(), ids.begin(), ids.end());
  try {
    entries_.emplace(stored, Entry{first_id, static_cast<std::uint32_t>(ids.size()), stem});
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
  words_.clear();
}

}  // namespace wrenmark
