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
  static constexpr std::size_t kBatch = 16;

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

std::size_t first_invalid_utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t position = 0;
  while (position < size) {
    const unsigned char lead = bytes[position];
    if (lead < 0x80) {
      ++position;
      continue;
    }
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_low = 0xA0;
      if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_low = 0x90;
      if (lead == 0xF4) second_high = 0x8F;
    } else {
      return position;
    }
    if (position + length > size) return position;
    if (bytes[position + 1] < second_low || bytes[position + 1] > second_high) return position;
    for (std::size_t index = 2; index < length; ++index) {
      if ((bytes[position + index] & 0xC0) != 0x80) return position;
    }
    position += length;
  }
  return size;
}

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
                              std::to_string(offset_base + first_invalid_utf8(block)) + " of the block)");
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
