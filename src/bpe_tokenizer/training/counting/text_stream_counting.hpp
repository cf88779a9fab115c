#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/counting/background_block_counting.hpp"
#include "bpe_tokenizer/training/counting/block_counter.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// Counts a corpus that arrives as a sequence of texts (the items of a Python iterable, say),
// taken as the texts joined by line feeds, exactly as count_corpus_words counts the joined text
// from a file. The texts gather in a buffer; once it holds a chunk, the chunk up to its first
// safe cut goes to the same parallel block counting as a file's block, and the unfinished tail
// waits for the next texts. A chunk is counted on a thread of its own while the next one
// gathers, so about two chunks of text are held at a time.
class TextStreamCounting {
 public:
  TextStreamCounting(const BlockCounter& counter, std::size_t chunk_bytes, TrainingMonitor* monitor);

  // The next item: a line feed before it unless it is the first, then its text (valid UTF-8).
  void add_item(std::string_view text);
  // Whether enough text waits for count_ready_chunk to be worth its call.
  bool chunk_ready() const { return buffer_.size() >= ready_size_; }
  // Hands the text up to the first safe cut at or after the chunk size, if the buffer holds one,
  // to the counting thread, once the chunk before it is counted (this waits for it).
  Status count_ready_chunk();
  // Counts what is left as the corpus end and returns the counts of the whole stream.
  Result<CorpusCounts> finish();

  std::uint64_t items() const { return items_; }
  std::uint64_t bytes() const { return origin_ + buffer_.size(); }

 private:
  Status wait_for_counting();
  // The capacity that a buffer keeps: a chunk and the item that crosses its end, so that it does
  // not double; the chunk handed over keeps its buffer's, and two such are the text held.
  std::size_t reservation() const;

  const BlockCounter& counter_;
  ParallelBlockCounting counting_;
  TrainingMonitor* monitor_;
  std::string counting_chunk_;  // the chunk in the counting thread's hands
  BackgroundBlockCounting background_;
  std::size_t chunk_bytes_;
  std::size_t ready_size_;
  std::size_t search_from_;
  std::string buffer_;
  std::uint64_t origin_ = 0;  // offset of the buffer's start in the joined text
  std::uint64_t items_ = 0;
};

}  // namespace wrenmark
