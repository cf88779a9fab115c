#include "bpe_tokenizer/training/vocabulary_builder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <thread>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/text/pre_tokenization.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/text/word_hash.hpp"
#include "bpe_tokenizer/training/worker_pool.hpp"

namespace wrenmark {

namespace {

struct WordStat {
  std::uint64_t count = 0;
  std::uint64_t first_offset = 0;
};

// A word as a hash-map key. The hash and the first eight bytes are kept in the key, so most
// lookups settle without reading the word's bytes in the corpus, a cache miss away.
struct WordKey {
  WordKey(std::string_view word, const WordHasher& hasher)
      : hash(hasher(word)), data(word.data()), size(static_cast<std::uint32_t>(word.size())) {
    std::memcpy(&prefix, word.data(), std::min<std::size_t>(word.size(), sizeof prefix));
  }

  std::string_view text() const { return {data, size}; }

  std::uint64_t hash;
  std::uint64_t prefix = 0;
  const char* data;
  std::uint32_t size;
};

struct WordKeyHash {
  std::size_t operator()(const WordKey& key) const { return key.hash; }
};
struct WordKeyEqual {
  bool operator()(const WordKey& left, const WordKey& right) const {
    return left.hash == right.hash && left.size == right.size && left.prefix == right.prefix &&
           (left.size <= sizeof left.prefix ||
            std::memcmp(left.data + sizeof left.prefix, right.data + sizeof right.prefix,
                        left.size - sizeof left.prefix) == 0);
  }
};
using WordStats = absl::flat_hash_map<WordKey, WordStat, WordKeyHash, WordKeyEqual>;

struct DistinctWord {
  std::string_view text;
  std::uint64_t count;
  std::uint64_t first_offset;
};

constexpr std::size_t kMinimumChunkBytes = 1 << 20;

// The first position at or after `position` where a white-space character starts; words never
// span one, so chunks cut there count the same words as the whole text.
std::size_t next_word_boundary(std::string_view text, std::size_t position) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  while (position < text.size()) {
    const auto byte_class = detail::kByteClasses[bytes[position]];
    if (byte_class == detail::ByteClass::Space) return position;
    if (byte_class == detail::ByteClass::MaybeSpaceLead && detail::multibyte_space_length(bytes + position) != 0) {
      return position;
    }
    ++position;
  }
  return text.size();
}

std::vector<std::size_t> chunk_boundaries(std::string_view text) {
  const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t chunks = std::clamp<std::size_t>(text.size() / kMinimumChunkBytes, 1, threads * 2);
  std::vector<std::size_t> boundaries{0};
  for (std::size_t chunk = 1; chunk < chunks; ++chunk) {
    const std::size_t nominal = text.size() / chunks * chunk;
    boundaries.push_back(std::max(boundaries.back(), next_word_boundary(text, nominal)));
  }
  boundaries.push_back(text.size());
  return boundaries;
}

// Counts the distinct words of `text`, in parallel over chunks, and orders them by first
// occurrence.
std::vector<DistinctWord> count_distinct_words(std::string_view text, PreTokenization mode) {
  const std::vector<std::size_t> boundaries = chunk_boundaries(text);
  const std::size_t chunk_count = boundaries.size() - 1;
  std::vector<WordStats> chunk_stats(chunk_count);
  const WordHasher hasher;
  parallel_ranges(chunk_count, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end; ++chunk) {
      WordStats& stats = chunk_stats[chunk];
      const std::string_view piece = text.substr(boundaries[chunk], boundaries[chunk + 1] - boundaries[chunk]);
      for_each_word(piece, mode, [&](std::string_view word) {
        auto [entry, inserted] = stats.try_emplace(WordKey(word, hasher));
        if (inserted) entry->second.first_offset = static_cast<std::uint64_t>(word.data() - text.data());
        ++entry->second.count;
      });
    }
  });

  // Chunks are merged in text order, so the first chunk to hold a word holds its first occurrence.
  WordStats merged = std::move(chunk_stats[0]);
  for (std::size_t chunk = 1; chunk < chunk_count; ++chunk) {
    for (const auto& [word, stat] : chunk_stats[chunk]) {
      auto [entry, inserted] = merged.try_emplace(word, stat);
      if (!inserted) entry->second.count += stat.count;
    }
    WordStats().swap(chunk_stats[chunk]);
  }

  std::vector<DistinctWord> words;
  words.reserve(merged.size());
  for (const auto& [word, stat] : merged) words.push_back({word.text(), stat.count, stat.first_offset});
  std::sort(words.begin(), words.end(),
            [](const DistinctWord& left, const DistinctWord& right) { return left.first_offset < right.first_offset; });
  return words;
}

// Character to token id: an array for ASCII, a flat map for the rest.
class CharacterIds {
 public:
  CharacterIds() { ascii_.fill(kMissing); }

  TokenId find(char32_t code_point) const {
    if (code_point < 128) return ascii_[code_point];
    auto found = others_.find(code_point);
    return found == others_.end() ? kMissing : found->second;
  }
  void set(char32_t code_point, TokenId id) {
    if (code_point < 128) {
      ascii_[code_point] = id;
    } else {
      others_.emplace(code_point, id);
    }
  }

  static constexpr TokenId kMissing = std::numeric_limits<TokenId>::max();

 private:
  std::array<TokenId, 128> ascii_{};
  absl::flat_hash_map<char32_t, TokenId> others_;
};

std::size_t character_count(std::string_view word) {
  std::size_t count = 0;
  for (const char byte : word) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  return count;
}

}  // namespace

Result<WordTable> build_vocabulary(std::string_view text, PreTokenization mode, TokenTable& token_table) {
  const std::vector<DistinctWord> words = count_distinct_words(text, mode);
  if (words.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return TokenizerError::internal_fault("the corpus has more distinct words than the word index can address");
  }

  CharacterIds character_ids;
  for (const DistinctWord& word : words) {
    utf8::for_each_character(word.text, [&](std::string_view character) {
      const char32_t code_point = utf8::decode(character.data());
      if (character_ids.find(code_point) == CharacterIds::kMissing) {
        character_ids.set(code_point, token_table.add_token(character));
      }
    });
  }
  const TokenId end_of_word_id = token_table.add_token(kEndOfWord);

  const std::size_t word_count = words.size();
  std::vector<std::uint64_t> starts(word_count + 1);
  std::vector<std::uint64_t> counts(word_count);
  parallel_ranges(word_count, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t index = begin; index < end; ++index) {
      starts[index + 1] = character_count(words[index].text) + 1;
      counts[index] = words[index].count;
    }
  });
  for (std::size_t index = 0; index < word_count; ++index) {
    if (starts[index + 1] >= std::numeric_limits<std::uint32_t>::max()) {
      return TokenizerError::internal_fault("a word is longer than the symbol position can address");
    }
    starts[index + 1] += starts[index];
  }

  std::vector<TokenId> symbols(starts[word_count]);
  parallel_ranges(word_count, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t index = begin; index < end; ++index) {
      TokenId* out = symbols.data() + starts[index];
      utf8::for_each_character(words[index].text, [&](std::string_view character) {
        *out++ = character_ids.find(utf8::decode(character.data()));
      });
      *out = end_of_word_id;
    }
  });
  return WordTable(std::move(symbols), std::move(starts), std::move(counts));
}

}  // namespace wrenmark
