#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"

namespace wrenmark {

// Training with the word counting done elsewhere (other processes or machines), block by block,
// along the same path as train(): the contract is in docs/architecture.md, "Counting blocks
// elsewhere".

// The word-count table (word_count_format.hpp) of one block of the corpus.
Result<std::string> count_block_words(const TokenizerSettings& settings, std::string_view block, std::uint64_t origin);

// One table holding the words of all `tables`: counts summed, earliest first occurrence kept.
Result<std::string> merge_word_count_tables(const std::vector<std::string_view>& tables);

// Trains an untrained tokenizer from `bytes`, the serialized table of a whole corpus, as train()
// would on that corpus: looking for a stop through `cancellation` in every phase (a Cancelled
// error, the tokenizer left untrained and trainable) and drawing the progress on standard error
// when the settings ask for it.
Status train_from_word_count_table(BpeTokenizer& tokenizer, std::string_view bytes, Cancellation& cancellation);

// The first safe cut at or after `start` in `text` (see BlockCuts), or nullopt; and the margin
// of bytes on either side of a cut that decides it.
Result<std::optional<std::size_t>> safe_block_end(const TokenizerSettings& settings, std::string_view text,
                                                  std::size_t start, bool text_is_final);
Result<std::size_t> block_cut_margin(const TokenizerSettings& settings);

}  // namespace wrenmark
