#include "bpe_tokenizer/training/counting/corpus_blocks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bpe_tokenizer/io/file_descriptor.hpp"

namespace wrenmark {

namespace {

TokenizerError unreadable(std::string_view reason) {
  return TokenizerError(ErrorKind::CorpusUnreadable, "Error reading file: " + std::string(reason));
}

// Read beyond the nominal block end, so that the cut is usually found without a second read.
constexpr std::size_t kReadSlack = 64 * 1024;

}  // namespace

Result<CorpusBlocks> CorpusBlocks::open(std::string_view path, const BlockCuts& cuts, std::size_t block_bytes) {
  // The system call would stop reading the name at a NUL and open another file.
  if (path.find('\0') != std::string_view::npos) return unreadable("path contains a NUL character");
  FileDescriptor file = FileDescriptor::open_for_reading(path);
  if (!file.is_open()) return unreadable(os_error_text(errno));
  struct stat status{};
  std::uint64_t size_hint = 0;
  if (::fstat(file.get(), &status) == 0 && status.st_size > 0) size_hint = static_cast<std::uint64_t>(status.st_size);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return CorpusBlocks(std::move(file), cuts, std::max<std::size_t>(block_bytes, 1), size_hint);
}

CorpusBlocks::CorpusBlocks(FileDescriptor file, const BlockCuts& cuts, std::size_t block_bytes, std::uint64_t size_hint)
    : file_(std::move(file)), cuts_(&cuts), block_bytes_(block_bytes), size_hint_(size_hint) {}

void CorpusBlocks::reserve(std::size_t wanted) {
  Buffer& buffer = buffers_[current_];
  if (buffer.capacity >= wanted) return;
  auto grown = std::make_unique_for_overwrite<char[]>(wanted);
  if (filled_ > 0) std::memcpy(grown.get(), buffer.bytes.get(), filled_);
  buffer.bytes = std::move(grown);
  buffer.capacity = wanted;
}

void CorpusBlocks::switch_buffers() {
  const char* left_over = buffers_[current_].bytes.get() + consumed_;
  const std::size_t left_over_bytes = filled_ - consumed_;
  current_ = 1 - current_;
  filled_ = 0;
  reserve(left_over_bytes);
  if (left_over_bytes > 0) std::memcpy(buffers_[current_].bytes.get(), left_over, left_over_bytes);
  filled_ = left_over_bytes;
  buffer_origin_ += consumed_;
  consumed_ = 0;
}

Status CorpusBlocks::fill(std::size_t wanted) {
  reserve(wanted);
  char* const buffer = buffers_[current_].bytes.get();
  while (!at_end_ && filled_ < wanted) {
    const ssize_t got = ::read(file_.get(), buffer + filled_, wanted - filled_);
    if (got < 0) {
      if (errno == EINTR) {
        // A pipe that is slow to fill, say: the signal's handler may want training to stop.
        if (monitor_ != nullptr && monitor_->check_now()) return TokenizerError::cancelled();
        continue;
      }
      return unreadable(os_error_text(errno));
    }
    if (got == 0) at_end_ = true;
    filled_ += static_cast<std::size_t>(got);
  }
  return {};
}

Result<bool> CorpusBlocks::next(std::string_view& block, std::uint64_t& origin) {
  // The previous block stays where it is, for the one counting it.
  if (consumed_ > 0) switch_buffers();
  std::size_t wanted = block_bytes_ + std::min(block_bytes_, kReadSlack) + cuts_->margin();
  // A small file needs no large buffer: one byte past its expected end shows where it ends.
  if (size_hint_ < SIZE_MAX && buffer_origin_ + wanted > size_hint_ + 1) {
    wanted = std::max<std::size_t>(filled_ + 1, size_hint_ + 1 > buffer_origin_ ? size_hint_ + 1 - buffer_origin_ : 1);
  }
  std::size_t search_from = block_bytes_;
  for (;;) {
    if (Status read = fill(wanted); !read) return read.error();
    if (filled_ == 0) return false;
    const std::string_view text(buffers_[current_].bytes.get(), filled_);
    const std::optional<std::size_t> cut = cuts_->first_cut(text, search_from, at_end_);
    if (cut || at_end_) {
      consumed_ = cut ? *cut : filled_;
      block = text.substr(0, consumed_);
      origin = buffer_origin_;
      return true;
    }
    // No cut yet: the block grows, and the search goes on where it stopped.
    search_from = std::max(search_from, filled_ > cuts_->margin() ? filled_ - cuts_->margin() : 0);
    wanted = filled_ + std::max(filled_ / 2, kReadSlack);
  }
}

}  // namespace wrenmark
