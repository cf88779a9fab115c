#include "bpe_tokenizer/encoding/decode.hpp"

#include <cstring>

#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/text/utf8_replacement.hpp"

namespace wrenmark {

namespace {

// Removes every "</w>" in one left-to-right pass; a marker that the removal itself brings
// together stays.
void remove_end_of_word_markers(std::string& text) {
  std::size_t write = 0;
  std::size_t read = 0;
  while (true) {
    const std::size_t found = text.find(kEndOfWord, read);
    const std::size_t end = found == std::string::npos ? text.size() : found;
    if (write != read) std::memmove(text.data() + write, text.data() + read, end - read);
    write += end - read;
    if (found == std::string::npos) break;
    read = found + kEndOfWord.size();
  }
  text.resize(write);
}

}  // namespace

std::string decode(const EncodingTables& tables, std::span<const TokenId> ids, bool byte_fallback) {
  const auto id_to_token = tables.token_table().id_to_token();
  std::size_t joined_size = 0;
  for (const TokenId id : ids) {
    if (id < id_to_token.size()) joined_size += id_to_token[id].size() + 1;
  }
  std::string text;
  text.reserve(joined_size);
  // The bytes of the current run of byte tokens, turned into text where the run ends.
  std::string bytes;
  for (const TokenId id : ids) {
    if (id >= id_to_token.size()) continue;
    if (byte_fallback) {
      if (const int byte = tables.byte_of_token(id); byte >= 0) {
        bytes.push_back(static_cast<char>(byte));
        continue;
      }
      utf8::append_replacing_invalid(text, bytes);
      bytes.clear();
    }
    text.append(id_to_token[id]);
    if (tables.token_class(id) != TokenClass::Plain) text.push_back(' ');
  }
  utf8::append_replacing_invalid(text, bytes);
  remove_end_of_word_markers(text);
  return text;
}

Result<std::string> decode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::span<const TokenId> ids) {
  if (!tokenizer.trained()) {
    return TokenizerError::invalid_state("Cannot decode text without training the tokenizer");
  }
  return decode(cache.tables(tokenizer), ids, tokenizer.settings.byte_fallback);
}

}  // namespace wrenmark
