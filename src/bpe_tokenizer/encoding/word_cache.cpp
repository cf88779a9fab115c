#include "bpe_tokenizer/encoding/word_cache.hpp"

#include <cstdint>
#include <cstring>

namespace wrenmark {

void WordCache::insert(std::string_view word, std::uint64_t hash, const WordTokens& tokens) {
  // Only a model whose merged tokens are not the texts they join gives a short word long tokens.
  if (word.empty() || word.size() > kMaxWordBytes || tokens.text.size() > kMaxTokenTextBytes ||
      tokens.ids.size() > UINT16_MAX) {
    return;
  }
  const RecordHeader header{static_cast<std::uint16_t>(word.size()),
                            static_cast<std::uint16_t>(tokens.text.size()),
                            static_cast<std::uint16_t>(tokens.ids.size()),
                            static_cast<std::uint16_t>(tokens.token_types.size()),
                            static_cast<std::uint16_t>(tokens.undecided.size()),
                            tokens.stem};
  const RecordLayout layout(header);
  const std::size_t text_bytes = word.size() + tokens.text.size();
  if (index_.size() >= kMaxEntries || id_count_ + tokens.ids.size() > kMaxIds ||
      text_bytes_ + text_bytes > kMaxTextBytes || records_.size() + layout.units > kMaxRecordUnits) {
    clear();
  }
  const auto unit = static_cast<std::uint32_t>(records_.size());
  char* record = reinterpret_cast<char*>(records_.extend(layout.units));
  // The padding too, so that a record's bytes never depend on what the memory held before.
  std::memset(record, 0, layout.units * sizeof(Unit));
  // Six short runs per record: inline copies, not six calls of the library's memcpy.
  const auto put = [&](std::size_t at, const void* bytes, std::size_t size) { copy_bytes(record + at, bytes, size); };
  put(0, &header, sizeof header);
  put(sizeof header, word.data(), word.size());
  put(layout.text, tokens.text.data(), tokens.text.size());
  put(layout.ids, tokens.ids.data(), tokens.ids.size_bytes());
  put(layout.token_sizes, tokens.token_sizes.data(), tokens.token_sizes.size_bytes());
  put(layout.undecided, tokens.undecided.data(), tokens.undecided.size_bytes());
  put(layout.token_types, tokens.token_types.data(), tokens.token_types.size_bytes());
  try {
    index_.insert(hash, unit, hash_at());
  } catch (...) {
    // The cache is lent to the next call again: no record may stay outside the index.
    clear();
    throw;
  }
  id_count_ += tokens.ids.size();
  text_bytes_ += text_bytes;
}

void WordCache::clear() {
  index_.clear();
  id_count_ = 0;
  text_bytes_ = 0;
  records_.clear();
}

}  // namespace wrenmark
