#include "bpe_tokenizer/training/words/vocabulary_builder.hpp"

#include <limits>

#include "bpe_tokenizer/core/character_ids.hpp"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

// The alphabet is at most all of Unicode and "</w>".
constexpr std::size_t kMaxAlphabet = 0x110000 + 1;

std::size_t character_count(std::string_view word) {
  std::size_t count = 0;
  for (const char byte : word) count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  return count;
}

}  // namespace

Result<WordTable> build_vocabulary(const CountedWords& words, TokenTable& token_table) {
  if (words.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return TokenizerError::limit_exceeded("the corpus has more than 4294967294 distinct words");
  }

  // Only a table already filled with special tokens could be too small for the alphabet.
  if (token_table.size() > TokenTable::kMaxTokens - kMaxAlphabet) return vocabulary_full_error();
  CharacterIds character_ids;
  for (const CountedWord& word : words) {
    utf8::for_each_character(word.text, [&](std::string_view character) {
      const char32_t code_point = utf8::decode(character);
      if (character_ids.find(code_point) == CharacterIds::kMissing) {
        character_ids.add(code_point, token_table.add_token(character));
      }
    });
  }
  const TokenId end_of_word_id = token_table.add_token(kEndOfWord);

  const std::size_t word_count = words.size();
  HugePageVector<std::uint64_t> starts(word_count + 1);
  HugePageVector<std::uint64_t> counts(word_count);
  parallel_ranges(word_count, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t index = begin; index < end; ++index) {
      starts[index + 1] = character_count(words[index].text) + 1;
      counts[index] = words[index].stat.count;
    }
  });
  for (std::size_t index = 0; index < word_count; ++index) {
    if (starts[index + 1] >= std::numeric_limits<std::uint32_t>::max()) {
      return TokenizerError::limit_exceeded("a word of the corpus has more than 4294967293 characters");
    }
    starts[index + 1] += starts[index];
  }

  HugePageVector<TokenId> symbols(starts[word_count]);
  parallel_ranges(word_count, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t index = begin; index < end; ++index) {
      TokenId* out = symbols.data() + starts[index];
      utf8::for_each_character(
          words[index].text, [&](std::string_view character) { *out++ = character_ids.find(utf8::decode(character)); });
      *out = end_of_word_id;
    }
  });
  return WordTable(std::move(symbols), starts, counts);
}

}  // namespace wrenmark
