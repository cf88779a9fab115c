#include "bpe_tokenizer/training/counting/block_counter.hpp"

#include <string>

#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "bpe_tokenizer/text/word_scan.hpp"

namespace wrenmark {

namespace {

// Words are hashed as they are found and counted a batch later: the batch's map slots are
// prefetched meanwhile, so that a table larger than the cache costs few waits.
class BatchedCounter {
 public:
  BatchedCounter(WordCountTable& table, std::string_view text, std::uint64_t origin)
      : table_(table), hasher_(table.hasher()), text_(text), origin_(origin) {}

  void add(std::string_view word) {
    // Nearly every word has eight more bytes of the block after it; only the last few do not.
    const bool slack = word.data() + word.size() + 8 <= text_.data() + text_.size();
    const std::uint64_t hash = slack ? hasher_.hash_with_slack(word) : hasher_(word);
    table_.prefetch(hash);
    words_[pending_] = word;
    hashes_[pending_] = hash;
    slack_[pending_] = slack;
    if (++pending_ == kBatch) flush();
  }

  void flush() {
    for (std::size_t index = 0; index < pending_; ++index) {
      const std::string_view word = words_[index];
      const FirstOccurrence where{origin_, static_cast<std::uint64_t>(word.data() - text_.data())};
      if (slack_[index]) {
        table_.add_occurrence<true>(word, hashes_[index], where);
      } else {
        table_.add_occurrence<false>(word, hashes_[index], where);
      }
    }
    pending_ = 0;
  }

 private:
  static constexpr std::size_t kBatch = 32;

  WordCountTable& table_;
  const WordHasher& hasher_;
  std::string_view text_;
  std::uint64_t origin_;
  std::string_view words_[kBatch];
  std::uint64_t hashes_[kBatch] = {};
  bool slack_[kBatch] = {};
  std::size_t pending_ = 0;
};

}  // namespace

Result<BlockCounter> BlockCounter::create(const TokenizerSettings& settings) {
  auto remover = SpecialTokenRemover::create(settings.special_tokens, settings.special_token_removal_method);
  if (!remover) return remover.error();
  BlockCounter counter;
  counter.mode_ = settings.pre_tokenization;
  counter.remover_ = std::move(remover).value();
  counter.cuts_ = std::make_shared<const BlockCuts>(counter.remover_->effective_tokens(), counter.remover_->method());
  return counter;
}

Status BlockCounter::count(std::string_view block, std::uint64_t origin, WordCountTable& table, Scratch& scratch,
                           std::size_t offset_base) const {
  if (!utf8::is_valid(block)) {
    return TokenizerError(ErrorKind::CorpusUnreadable,
                          "Error reading file: stream did not contain valid UTF-8 (invalid byte at offset " +
                              std::to_string(offset_base + utf8::first_invalid(block)) + " of the block)");
  }
  Stopwatch stopwatch;
  Result<std::string_view> cleaned = remover_->remove(block, *scratch.removal);
  if (!cleaned) return cleaned.error();
  const std::string_view text = cleaned.value();
  table.removal_ns += stopwatch.lap_ns();

  BatchedCounter counter(table, text, origin);
  scan_words(text, mode_, [&](std::string_view word) { counter.add(word); });
  counter.flush();
  table.counting_ns += stopwatch.elapsed_ns();
  return {};
}

}  // namespace wrenmark
