#include "bpe_tokenizer/encoding/word_cache.hpp"

#include <cassert>
#include <cstdint>
#include <cstring>

#include "bpe_tokenizer/system/broken_map.hpp"

namespace wrenmark {

void WordCache::insert(std::string_view word, const WordTokens& tokens) {
  // Only a model whose merged tokens are not the texts they join gives a short word long tokens.
  if (word.empty() || word.size() > kMaxWordBytes || tokens.text.size() > kMaxTokenTextBytes) return;
  const Entry entry{
      static_cast<std::uint32_t>(tokens.ids.size()), static_cast<std::uint32_t>(tokens.token_types.size()),
      static_cast<std::uint32_t>(tokens.undecided.size()), static_cast<std::uint32_t>(tokens.text.size()), tokens.stem};
  const RecordLayout layout(word.size(), entry);
  const std::size_t text_bytes = word.size() + tokens.text.size();
  if (entries_.size() >= kMaxEntries || id_count_ + tokens.ids.size() > kMaxIds ||
      text_bytes_ + text_bytes > kMaxTextBytes || records_.bytes_used() + layout.size > kMaxRecordBytes) {
    clear();
  }
  record_.assign(layout.size, '\0');
  const auto put = [&](std::size_t at, const void* bytes, std::size_t size) {
    if (size != 0) std::memcpy(record_.data() + at, bytes, size);
  };
  put(0, word.data(), word.size());
  put(word.size(), tokens.text.data(), tokens.text.size());
  put(layout.ids, tokens.ids.data(), tokens.ids.size_bytes());
  put(layout.token_sizes, tokens.token_sizes.data(), tokens.token_sizes.size_bytes());
  put(layout.undecided, tokens.undecided.data(), tokens.undecided.size_bytes());
  put(layout.token_types, tokens.token_types.data(), tokens.token_types.size_bytes());
  // Every record's size is a multiple of the alignment, and blocks start aligned, so every
  // record starts aligned.
  const std::string_view stored = records_.store(record_);
  assert(reinterpret_cast<std::uintptr_t>(stored.data()) % kRecordAlignment == 0);
  try {
    entries_.emplace(stored.substr(0, word.size()), entry);
  } catch (...) {
    // The cache is lent to the next call again.
    forget_broken_map(entries_);
    clear();
    throw;
  }
  id_count_ += tokens.ids.size();
  text_bytes_ += text_bytes;
}

void WordCache::clear() {
  entries_.clear();
  id_count_ = 0;
  text_bytes_ = 0;
  records_.clear();
}

}  // namespace wrenmark
