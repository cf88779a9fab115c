#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/pair.hpp"
#include "bpe_tokenizer/core/string_store.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"

namespace wrenmark {

// Remembers the final ids of words already merged, and which stem each word equals, so that a
// frequent word is looked at once. Stems are those of the tables the words were encoded with.
// Memory is bounded: when any of the limits would be passed, everything is forgotten at once
// and the cache fills again from the words that follow. Long words are not kept, since they
// are rare and would crowd out the frequent ones.
class WordCache {
 public:
  static constexpr std::size_t kMaxWordBytes = 256;
  // About 12 MB when full.
  static constexpr std::size_t kMaxEntries = 1 << 17;
  static constexpr std::size_t kMaxIds = 1 << 19;

  struct Word {
    std::span<const TokenId> ids;
    StemIndex stem;
  };

  std::optional<Word> find(std::string_view word) const {
    auto found = entries_.find(word);
    if (found == entries_.end()) return std::nullopt;
    const Entry& entry = found->second;
    return Word{std::span<const TokenId>(ids_.data() + entry.first_id, entry.id_count), entry.stem};
  }

  void insert(std::string_view word, std::span<const TokenId> ids, StemIndex stem);
  // Forgets every word; the text blocks are kept for reuse.
  void clear();

 private:
  struct Entry {
    std::uint32_t first_id;
    std::uint32_t id_count;
    StemIndex stem;
  };
  static constexpr std::size_t kMaxTextBytes = 32 * StringStore::kBlockBytes;

  absl::flat_hash_map<std::string_view, Entry> entries_;
  std::vector<TokenId> ids_;
  StringStore words_;
};

}  // namespace wrenmark
