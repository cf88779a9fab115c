#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/counting/block_counter.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// Bytes per block when training reads its corpus: large enough that the per-block work is
// negligible, small enough that a block and its cleaned copy are a small part of the memory.
inline constexpr std::size_t kDefaultBlockBytes = 32u << 20;

// The block size of the next trainings in this process; tests make it tiny to put block ends
// everywhere. 0 restores the default.
void set_training_block_bytes(std::size_t bytes);
std::size_t training_block_bytes();

// Counts blocks on the worker pool, each cut into pieces at safe cuts, every worker into a table
// of its own; the tables are merged once, at the end.
class ParallelBlockCounting {
 public:
  explicit ParallelBlockCounting(const BlockCounter& counter);
  ~ParallelBlockCounting();

  // Counts one block (ending at a safe cut or at the corpus end). Bad UTF-8 fails with
  // ErrorKind::CorpusUnreadable naming the offset of the first bad byte within `block`.
  Status count(std::string_view block, std::uint64_t origin);
  // Looks for a stop between pieces; a stopped count is to be dropped.
  void watch(TrainingMonitor* monitor) { monitor_ = monitor; }

  // All counts so far in one table; the workers' tables are emptied.
  Result<WordCountTable> merged();

 private:
  struct Workers;
  const BlockCounter& counter_;
  std::unique_ptr<Workers> workers_;
  TrainingMonitor* monitor_ = nullptr;
};

struct CorpusCounts {
  WordCountTable table;
  std::uint64_t removal_ns = 0;   // wall time attributed to removing special tokens
  std::uint64_t counting_ns = 0;  // wall time of the rest: splitting and counting

  // Removal and counting run interleaved, block by block: the wall time `work_ns` is shared
  // between them in proportion to the work each did.
  void share_wall_time(std::uint64_t work_ns);
};

// Reads the corpus at `path` block by block and counts its words, in parallel on the worker
// pool within each block. Failures are those of reading the corpus ("Error reading file: ...",
// "stream did not contain valid UTF-8" for bad UTF-8) and of building the matcher.
// With a monitor, this is its CountingWords phase, in bytes of the corpus, and a stop asked for
// through it yields a Cancelled error.
Result<CorpusCounts> count_corpus_words(std::string_view path, const BlockCounter& counter, std::size_t block_bytes,
                                        TrainingMonitor* monitor = nullptr);

}  // namespace wrenmark
