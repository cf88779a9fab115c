#include "bpe_tokenizer/training/counting/distributed_counting.hpp"

#include "bpe_tokenizer/training/counting/block_counter.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/counting/word_count_format.hpp"
#include "bpe_tokenizer/training/train.hpp"

namespace wrenmark {

Result<std::string> count_block_words(const TokenizerSettings& settings, std::string_view block, std::uint64_t origin) {
  Result<BlockCounter> counter = BlockCounter::create(settings);
  if (!counter) return counter.error();
  ParallelBlockCounting counting(counter.value());
  if (Status counted = counting.count(block, origin); !counted) return counted.error();
  Result<WordCountTable> table = counting.merged();
  if (!table) return table.error();
  return serialize_word_counts(table.value());
}

Result<std::string> merge_word_count_tables(const std::vector<std::string_view>& tables) {
  WordCountTable merged;
  for (const std::string_view bytes : tables) {
    Result<WordCountTable> table = parse_word_counts(bytes);
    if (!table) return table.error();
    if (!merged.merge_from(std::move(table).value())) {
      return TokenizerError(ErrorKind::InvalidState, "invalid word-count table: a count overflows");
    }
  }
  return serialize_word_counts(merged);
}

Status train_from_word_count_table(BpeTokenizer& tokenizer, std::string_view bytes) {
  if (tokenizer.trained()) return TokenizerError::invalid_state("Cannot train a pretrained model");
  Result<WordCountTable> table = parse_word_counts(bytes);
  if (!table) return table.error();
  // The counting happened elsewhere: the removal line shows the removal work recorded with the
  // blocks, the vocabulary line the building of the word table here.
  const std::uint64_t removal_ns = table.value().removal_ns;
  return train_from_word_counts(tokenizer, std::move(table).value(), removal_ns, 0);
}

Result<std::optional<std::size_t>> safe_block_end(const TokenizerSettings& settings, std::string_view text,
                                                  std::size_t start, bool text_is_final) {
  Result<BlockCounter> counter = BlockCounter::create(settings);
  if (!counter) return counter.error();
  if (start == 0 && text.empty()) return std::optional<std::size_t>();
  return counter.value().cuts().first_cut(text, start, text_is_final);
}

Result<std::size_t> block_cut_margin(const TokenizerSettings& settings) {
  Result<BlockCounter> counter = BlockCounter::create(settings);
  if (!counter) return counter.error();
  return counter.value().cuts().margin();
}

}  // namespace wrenmark
