#include "bpe_tokenizer/encoding/word_cache.hpp"

#include <cstring>

namespace wrenmark {

void WordCache::insert(std::string_view word, std::span<const TokenId> ids, StemIndex stem) {
  if (word.empty() || word.size() > kMaxWordBytes || ids.size() > kMaxIds) return;
  if (entries_.size() >= kMaxEntries || ids_.size() + ids.size() > kMaxIds) clear();
  const std::string_view stored = store_text(word);
  if (stored.empty()) {
    clear();
    return insert(word, ids, stem);
  }
  const auto first_id = static_cast<std::uint32_t>(ids_.size());
  ids_.insert(ids_.end(), ids.begin(), ids.end());
  entries_.emplace(stored, Entry{first_id, static_cast<std::uint32_t>(ids.size()), stem});
}

// Copies `word` into the text blocks; an empty view means the blocks are full. Blocks are
// allocated on demand and kept across clears.
std::string_view WordCache::store_text(std::string_view word) {
  if (text_blocks_.empty() || block_used_ + word.size() > kTextBlockBytes) {
    if (!text_blocks_.empty()) {
      ++current_block_;
      block_used_ = 0;
    }
    if (current_block_ == kMaxTextBlocks) return {};
    if (current_block_ == text_blocks_.size()) {
      text_blocks_.push_back(std::make_unique_for_overwrite<char[]>(kTextBlockBytes));
    }
  }
  char* destination = text_blocks_[current_block_].get() + block_used_;
  std::memcpy(destination, word.data(), word.size());
  block_used_ += word.size();
  return std::string_view(destination, word.size());
}

void WordCache::clear() {
  entries_.clear();
  ids_.clear();
  current_block_ = 0;
  block_used_ = 0;
}

}  // namespace wrenmark
