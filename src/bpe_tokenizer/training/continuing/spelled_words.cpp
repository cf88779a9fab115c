#include "bpe_tokenizer/training/continuing/spelled_words.hpp"

#include <limits>
#include <utility>

#include "bpe_tokenizer/core/character_ids.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_merger.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

TokenTable copy_token_table(const TokenTable& table) {
  TokenTable copy;
  copy.reserve(table.size());
  for (const std::string_view token : table.id_to_token()) copy.append_id_to_token(token);
  for (const auto& [token, id] : table.token_to_id()) copy.set_token_to_id(token, id);
  return copy;
}

Result<WordTable> spell_with_model(const CountedWords& words, std::shared_ptr<const Model> model,
                                   const TokenizerSettings& settings, TokenTable& token_table) {
  if (words.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return TokenizerError::limit_exceeded("the corpus has more than 4294967294 distinct words");
  }
  const EncodingTables tables(std::move(model), settings);

  // The characters the model lacks, numbered after its vocabulary as training would number them.
  CharacterIds new_characters;
  auto character_id = [&](std::string_view character) {
    const TokenId known = tables.character_id(character);
    return known != CharacterIds::kMissing ? known : new_characters.find(utf8::decode(character));
  };
  for (const CountedWord& word : words) {
    bool full = false;
    utf8::for_each_character(word.text, [&](std::string_view character) {
      if (full || character_id(character) != CharacterIds::kMissing) return;
      if (token_table.full()) {
        full = true;
        return;
      }
      new_characters.add(utf8::decode(character), token_table.add_token(character));
    });
    if (full) return vocabulary_full_error();
  }
  TokenId end_of_word_id = 0;
  if (std::optional<TokenId> known = tables.end_of_word_id()) {
    end_of_word_id = *known;
  } else {
    if (token_table.full()) return vocabulary_full_error();
    end_of_word_id = token_table.add_token(kEndOfWord);
  }

  HugePageVector<std::uint64_t> starts(words.size() + 1);
  HugePageVector<std::uint64_t> counts(words.size());
  HugePageVector<TokenId> symbols;
  std::vector<TokenId> spelling;
  WordMerger merger;
  for (std::size_t index = 0; index < words.size(); ++index) {
    spelling.clear();
    utf8::for_each_character(words[index].text,
                             [&](std::string_view character) { spelling.push_back(character_id(character)); });
    spelling.push_back(end_of_word_id);
    if (spelling.size() >= std::numeric_limits<std::uint32_t>::max()) {
      return TokenizerError::limit_exceeded("a word of the corpus has more than 4294967293 characters");
    }
    merger.apply(spelling, tables.merges());
    symbols.insert(symbols.end(), spelling.begin(), spelling.end());
    starts[index + 1] = symbols.size();
    counts[index] = words[index].stat.count;
  }
  return WordTable(std::move(symbols), starts, counts);
}

}  // namespace wrenmark
