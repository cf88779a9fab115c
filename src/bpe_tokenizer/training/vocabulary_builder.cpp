#include "bpe_tokenizer/training/vocabulary_builder.hpp"

#include <array>
#include <limits>

#include "absl/container/flat_hash_map.h"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/training/worker_pool.hpp"

namespace wrenmark {

namespace {

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

Result<WordTable> build_vocabulary(const std::vector<CountedWord>& words, TokenTable& token_table) {
  if (words.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return TokenizerError::internal_fault("the corpus has more distinct words than the word index can address");
  }

  CharacterIds character_ids;
  for (const CountedWord& word : words) {
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
      counts[index] = words[index].stat.count;
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
