#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/io/file_descriptor.hpp"
#include "bpe_tokenizer/training/counting/block_cuts.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// Reads a corpus file block by block, each block ending at the first safe cut at or after
// `block_bytes` bytes (or at the end of the file), so that only about one block is in memory at
// a time. A block grows past `block_bytes` only as far as the next safe cut. Blocks alternate
// between two buffers, so that the next block can be read while the previous one is counted.
class CorpusBlocks {
 public:
  // Failures carry "Error reading file: {reason}".
  static Result<CorpusBlocks> open(std::string_view path, const BlockCuts& cuts, std::size_t block_bytes);

  CorpusBlocks(CorpusBlocks&& other) noexcept = default;
  CorpusBlocks& operator=(CorpusBlocks&&) = delete;

  // The next block and its byte offset in the file; false after the last block. The view stays
  // valid until the call after the next one.
  Result<bool> next(std::string_view& block, std::uint64_t& origin);

  std::uint64_t file_size_hint() const { return size_hint_; }

  // A read that a signal interrupts asks the monitor whether to stop (a Cancelled error).
  void watch(TrainingMonitor* monitor) { monitor_ = monitor; }

 private:
  CorpusBlocks(FileDescriptor file, const BlockCuts& cuts, std::size_t block_bytes, std::uint64_t size_hint);
  // A buffer whose bytes are not set before the reads fill them.
  struct Buffer {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
  };
  // Reads until the buffer holds `wanted` bytes or the file ends.
  Status fill(std::size_t wanted);
  // Makes room for `wanted` bytes in the current buffer, keeping its filled bytes.
  void reserve(std::size_t wanted);
  // What the previous block left over goes to the front of the other buffer.
  void switch_buffers();

  FileDescriptor file_;
  const BlockCuts* cuts_;
  std::size_t block_bytes_;
  std::uint64_t size_hint_;
  Buffer buffers_[2];
  int current_ = 0;
  std::size_t filled_ = 0;
  std::size_t consumed_ = 0;  // bytes at the buffer's start that the previous block took
  std::uint64_t buffer_origin_ = 0;
  bool at_end_ = false;
  TrainingMonitor* monitor_ = nullptr;
};

}  // namespace wrenmark
