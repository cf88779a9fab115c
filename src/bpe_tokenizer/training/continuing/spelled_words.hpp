#pragma once

#include <memory>
#include <vector>

#include "bpe_tokenizer/core/model.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/settings.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"
#include "bpe_tokenizer/training/words/word_table.hpp"

namespace wrenmark {

// A copy of `table` as it stands, both directions kept as they are (a loaded table may disagree
// with itself).
TokenTable copy_token_table(const TokenTable& table);

// The distinct `words` (in order of first occurrence) spelled for training that goes on from
// `model`: characters and "</w>" as encoding gives them ids, rewritten by the model's merges as
// encoding applies them. Characters the model lacks are added to `token_table` (the model's
// table, copied) in order of first occurrence, then "</w>" if it lacks that too.
Result<WordTable> spell_with_model(const CountedWords& words, std::shared_ptr<const Model> model,
                                   const TokenizerSettings& settings, TokenTable& token_table);

}  // namespace wrenmark
