#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/encoding/encoding_result.hpp"
#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/word_cache.hpp"

namespace wrenmark {

// Turns `text` into tokens with a trained tokenizer: the text is cut around the special tokens,
// every plain piece is split into words as training split the corpus, every word is spelled as
// its characters and "</w>" and merged by the learnt merges, and every token is typed.
Result<Encoding> encode(const BpeTokenizer& tokenizer, EncodingCache& cache, std::string_view text);

// The same with tables already derived. `word_cache` is the caller's and holds words of these
// tables only; callers that encode at the same time share the tables but not a word cache.
Result<Encoding> encode(const EncodingTables& tables, WordCache& word_cache, std::string_view text);

}  // namespace wrenmark
