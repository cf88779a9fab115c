#include "bpe_tokenizer/training/words/vocabulary_builder.hpp"

#include <array>
#include <limits>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "bpe_tokenizer/core/character_ids.hpp"
#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/system/broken_map.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

// The alphabet is at most all of Unicode and "</w>".
constexpr std::size_t kMaxAlphabet = 0x110000 + 1;

// The words are read in this many ranges side by side; each range lists the characters it meets
// first, so that the ranges' lists, taken in range order, give the characters in order of first
// occurrence over all the words, as one pass would.
constexpr std::size_t kWordRanges = 64;

// Notes the characters that words [begin, end) meet first, each once as its text in the first word
// holding it, and every word's symbol count (characters and "</w>") and count.
void read_range(const CountedWords& words, std::size_t begin, std::size_t end, std::vector<std::string_view>& first_met,
                HugePageVector<std::uint64_t>& symbol_counts, HugePageVector<std::uint64_t>& counts) {
  std::array<bool, 128> ascii_seen{};
  absl::flat_hash_set<char32_t> others_seen;
  for (std::size_t index = begin; index < end; ++index) {
    const std::string_view text = words[index].text;
    std::uint64_t characters = 0;
    std::size_t position = 0;
    while (position < text.size()) {
      const auto lead = static_cast<unsigned char>(text[position]);
      const std::size_t length = utf8::sequence_length(lead);
      ++characters;
      if (lead < 0x80) {
        if (!ascii_seen[lead]) {
          ascii_seen[lead] = true;
          first_met.push_back(text.substr(position, 1));
        }
      } else {
        const std::string_view character = text.substr(position, length);
        const char32_t code_point = utf8::decode(character);
        if (insert_or_forget(others_seen, [&] { return others_seen.insert(code_point).second; })) {
          first_met.push_back(character);
        }
      }
      position += length;
    }
    symbol_counts[index + 1] = characters + 1;
    counts[index] = words[index].stat.count;
  }
}

}  // namespace

Result<WordTable> build_vocabulary(const CountedWords& words, TokenTable& token_table) {
  if (words.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return TokenizerError::limit_exceeded("the corpus has more than 4294967294 distinct words");
  }

  // Only a table already filled with special tokens could be too small for the alphabet.
  if (token_table.size() > TokenTable::kMaxTokens - kMaxAlphabet) return vocabulary_full_error();
  const std::size_t word_count = words.size();
  HugePageVector<std::uint64_t> starts(word_count + 1);
  HugePageVector<std::uint64_t> counts(word_count);
  std::array<std::vector<std::string_view>, kWordRanges> first_met;
  parallel_numbered_ranges(word_count, kWordRanges, [&](std::size_t range, std::size_t begin, std::size_t end) {
    read_range(words, begin, end, first_met[range], starts, counts);
  });

  CharacterIds character_ids;
  for (const std::vector<std::string_view>& range_first_met : first_met) {
    for (const std::string_view character : range_first_met) {
      const char32_t code_point = utf8::decode(character);
      if (character_ids.find(code_point) == CharacterIds::kMissing) {
        character_ids.add(code_point, token_table.add_token(character));
      }
    }
  }
  const TokenId end_of_word_id = token_table.add_token(kEndOfWord);

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
