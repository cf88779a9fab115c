#include "bpe_tokenizer/training/counting/text_stream_counting.hpp"

#include <algorithm>
#include <optional>

#include "bpe_tokenizer/system/stopwatch.hpp"

namespace wrenmark {

namespace {
// Tests set chunks of a few bytes, callers none larger than the block size of a file.
constexpr std::size_t kLargestReservation = 256u << 20;
}  // namespace

TextStreamCounting::TextStreamCounting(const BlockCounter& counter, std::size_t chunk_bytes, TrainingMonitor* monitor)
    : counter_(counter),
      counting_(counter),
      monitor_(monitor),
      background_(counting_),
      chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)),
      // A cut is taken only with its margin of text after it.
      ready_size_(chunk_bytes_ + counter.cuts().margin()),
      search_from_(chunk_bytes_) {
  counting_.watch(monitor);
  buffer_.reserve(reservation());
}

std::size_t TextStreamCounting::reservation() const {
  const std::size_t chunk = chunk_bytes_ + counter_.cuts().margin();
  return std::min(chunk + chunk / 8, kLargestReservation);
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
  if (Status counted = wait_for_counting(); !counted) return counted;
  // The chunk goes to the counting thread; the tail starts the next one.
  counting_chunk_.swap(buffer_);
  buffer_.reserve(reservation());
  buffer_.assign(counting_chunk_, *cut);
  counting_chunk_.resize(*cut);
  background_.start(counting_chunk_, origin_);
  origin_ += *cut;
  search_from_ = chunk_bytes_;
  ready_size_ = chunk_bytes_ + counter_.cuts().margin();
  return {};
}

Status TextStreamCounting::wait_for_counting() {
  Status counted = background_.wait(monitor_);
  if (monitor_ != nullptr && monitor_->stopped()) return TokenizerError::cancelled();
  return counted;
}

Result<CorpusCounts> TextStreamCounting::finish() {
  if (Status counted = wait_for_counting(); !counted) return counted.error();
  counting_chunk_ = std::string();
  if (!buffer_.empty()) {
    background_.start(buffer_, origin_);
    if (Status counted = wait_for_counting(); !counted) return counted.error();
    origin_ += buffer_.size();
    buffer_ = std::string();
  }
  const Stopwatch merging;
  Result<WordCountTable> merged = counting_.merged();
  if (!merged) return merged.error();
  CorpusCounts counts{std::move(merged).value()};
  const std::uint64_t work_ns = background_.work_ns() + merging.elapsed_ns();
  counts.share_wall_time(work_ns);
  return counts;
}

}  // namespace wrenmark
