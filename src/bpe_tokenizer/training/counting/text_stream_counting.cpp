#include "bpe_tokenizer/training/counting/text_stream_counting.hpp"

#include <algorithm>
#include <optional>

#include "bpe_tokenizer/system/stopwatch.hpp"

namespace wrenmark {

TextStreamCounting::TextStreamCounting(const BlockCounter& counter, std::size_t chunk_bytes, TrainingMonitor* monitor)
    : counter_(counter),
      counting_(counter),
      monitor_(monitor),
      chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)),
      // A cut is taken only with its margin of text after it.
      ready_size_(chunk_bytes_ + counter.cuts().margin()),
      search_from_(chunk_bytes_) {
  counting_.watch(monitor);
}

void TextStreamCounting::add_item(std::string_view text) {
  if (items_ > 0) buffer_.push_back('\n');
  buffer_.append(text);
  ++items_;
}

Status TextStreamCounting::count_ready_chunk() {
  const std::optional<std::size_t> cut = counter_.cuts().first_cut(buffer_, search_from_, false);
  if (!cut) {
    // A word (or a stretch without a safe cut) longer than a chunk: the chunk grows, and the next
    // search starts where this one could not decide.
    const std::size_t margin = counter_.cuts().margin();
    search_from_ = std::max(search_from_, buffer_.size() > margin ? buffer_.size() - margin : 0);
    ready_size_ = buffer_.size() + std::max(buffer_.size() / 2, chunk_bytes_);
    return {};
  }
  if (Status counted = count_block(std::string_view(buffer_).substr(0, *cut)); !counted) return counted;
  buffer_.erase(0, *cut);
  origin_ += *cut;
  search_from_ = chunk_bytes_;
  ready_size_ = chunk_bytes_ + counter_.cuts().margin();
  return {};
}

Status TextStreamCounting::count_block(std::string_view block) {
  const Stopwatch stopwatch;
  Status counted = counting_.count(block, origin_);
  if (monitor_ != nullptr && monitor_->stopped()) return TokenizerError::cancelled();
  if (!counted) return counted;
  work_ns_ += stopwatch.elapsed_ns();
  return {};
}

Result<CorpusCounts> TextStreamCounting::finish() {
  if (!buffer_.empty()) {
    if (Status counted = count_block(buffer_); !counted) return counted.error();
    origin_ += buffer_.size();
    buffer_ = std::string();
  }
  const Stopwatch merging;
  Result<WordCountTable> merged = counting_.merged();
  if (!merged) return merged.error();
  CorpusCounts counts{std::move(merged).value()};
  const std::uint64_t work_ns = work_ns_ + merging.elapsed_ns();
  // As for a file: the wall time of the interleaved removal and counting is shared between them in
  // proportion to the work each did.
  const std::uint64_t removal_work = counts.table.removal_ns;
  const std::uint64_t total_work = removal_work + counts.table.counting_ns;
  counts.removal_ns =
      total_work == 0 ? 0
                      : static_cast<std::uint64_t>(static_cast<double>(work_ns) * static_cast<double>(removal_work) /
                                                   static_cast<double>(total_work));
  counts.counting_ns = work_ns - counts.removal_ns;
  return counts;
}

}  // namespace wrenmark
