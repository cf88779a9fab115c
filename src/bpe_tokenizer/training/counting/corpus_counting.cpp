#include "bpe_tokenizer/training/counting/corpus_counting.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "bpe_tokenizer/system/overlapped_work.hpp"
#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/training/counting/corpus_blocks.hpp"
#include "tbb/enumerable_thread_specific.h"

namespace wrenmark {

namespace {

std::atomic<std::size_t> block_bytes_setting{0};

// Pieces of a block that the workers take one at a time; several per worker even out their
// speeds.
constexpr std::size_t kMinimumPieceBytes = 1 << 20;

struct WorkerState {
  explicit WorkerState(const BlockCounter& counter) : scratch(counter) {}
  WordCountTable table;
  BlockCounter::Scratch scratch;
};

// Cuts `block` (itself ending at a safe cut) into pieces at safe cuts.
std::vector<std::size_t> piece_ends(std::string_view block, const BlockCuts& cuts) {
  const std::size_t workers = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t piece_bytes = std::max(kMinimumPieceBytes, block.size() / (workers * 4) + 1);
  std::vector<std::size_t> ends;
  std::size_t start = 0;
  while (block.size() - start > piece_bytes) {
    const std::optional<std::size_t> cut = cuts.first_cut(block.substr(start), piece_bytes, true);
    if (!cut || start + *cut == block.size()) break;
    start += *cut;
    ends.push_back(start);
  }
  ends.push_back(block.size());
  return ends;
}

}  // namespace

void set_training_block_bytes(std::size_t bytes) { block_bytes_setting.store(bytes); }

std::size_t training_block_bytes() {
  const std::size_t bytes = block_bytes_setting.load();
  return bytes == 0 ? kDefaultBlockBytes : bytes;
}

struct ParallelBlockCounting::Workers {
  explicit Workers(const BlockCounter& counter) : states([&counter] { return WorkerState(counter); }) {}
  tbb::enumerable_thread_specific<WorkerState> states;
};

ParallelBlockCounting::ParallelBlockCounting(const BlockCounter& counter)
    : counter_(counter), workers_(std::make_unique<Workers>(counter)) {}
ParallelBlockCounting::~ParallelBlockCounting() = default;

Status ParallelBlockCounting::count(std::string_view block, std::uint64_t origin) {
  const std::vector<std::size_t> ends = piece_ends(block, counter_.cuts());
  std::vector<std::optional<TokenizerError>> failures(ends.size());
  // Every worker takes the next piece not yet taken, never one that the ranges of the pool gave
  // it (a worker stealing a range may get one before a range it already counted): so the pieces
  // reach each worker's table in corpus order, and the first occurrence it records of a word is
  // its first there.
  std::atomic<std::size_t> next_piece{0};
  parallel_ranges(ends.size(), 1, [&](std::size_t, std::size_t) {
    WorkerState& state = workers_->states.local();
    for (std::size_t piece = next_piece.fetch_add(1); piece < ends.size(); piece = next_piece.fetch_add(1)) {
      if (monitor_ != nullptr && monitor_->advance(0, true)) return;
      const std::size_t piece_start = piece == 0 ? 0 : ends[piece - 1];
      Status counted = counter_.count(block.substr(piece_start, ends[piece] - piece_start), origin + piece_start,
                                      state.table, state.scratch, piece_start);
      if (!counted) failures[piece] = counted.error();
    }
  });
  for (std::optional<TokenizerError>& failure : failures) {
    if (failure) return std::move(*failure);
  }
  return {};
}

Result<WordCountTable> ParallelBlockCounting::merged() {
  WordCountTable table;
  for (WorkerState& state : workers_->states) {
    if (!table.merge_from(std::move(state.table))) {
      return TokenizerError::limit_exceeded("a word occurs more than 18446744073709551615 times");
    }
  }
  return table;
}

void CorpusCounts::share_wall_time(std::uint64_t work_ns) {
  const std::uint64_t removal_work = table.removal_ns;
  const std::uint64_t total_work = removal_work + table.counting_ns;
  removal_ns = total_work == 0
                   ? 0
                   : static_cast<std::uint64_t>(static_cast<double>(work_ns) * static_cast<double>(removal_work) /
                                                static_cast<double>(total_work));
  counting_ns = work_ns - removal_ns;
}

Result<CorpusCounts> count_corpus_words(std::string_view path, const BlockCounter& counter, std::size_t block_bytes,
                                        TrainingMonitor* monitor) {
  Result<CorpusBlocks> opened = CorpusBlocks::open(path, counter.cuts(), block_bytes);
  if (!opened) return opened.error();
  CorpusBlocks& blocks = opened.value();
  blocks.watch(monitor);
  if (monitor != nullptr && monitor->begin_phase(TrainingPhase::CountingWords, blocks.file_size_hint())) {
    return TokenizerError::cancelled();
  }

  ParallelBlockCounting counting(counter);
  counting.watch(monitor);
  std::uint64_t work_ns = 0;  // reading excluded where it did not overlap counting
  std::string_view block;
  std::uint64_t origin = 0;
  Result<bool> got = blocks.next(block, origin);
  if (!got) return got.error();
  bool more = got.value();
  while (more) {
    const std::string_view current = block;
    const std::uint64_t current_origin = origin;
    const Stopwatch stopwatch;
    // The pool counts this block while the calling thread reads the next one (the previous
    // block's bytes stay valid meanwhile) and then joins the counting, so that the cores no
    // longer wait for each read. Reading stays on the calling thread, where a signal that
    // interrupts it is handled.
    Status counted;
    Result<bool> read = run_overlapped([&] { counted = counting.count(current, current_origin); },
                                       [&] { return blocks.next(block, origin); });
    if (monitor != nullptr && monitor->advance(current.size(), true)) return TokenizerError::cancelled();
    if (!counted) {
      if (counted.error().kind() == ErrorKind::CorpusUnreadable) {
        return TokenizerError(ErrorKind::CorpusUnreadable, "Error reading file: stream did not contain valid UTF-8");
      }
      return counted.error();
    }
    if (!read) return read.error();
    more = read.value();
    work_ns += stopwatch.elapsed_ns();
  }

  const Stopwatch merging;
  Result<WordCountTable> merged = counting.merged();
  if (!merged) return merged.error();
  CorpusCounts counts{std::move(merged).value()};
  work_ns += merging.elapsed_ns();
  counts.share_wall_time(work_ns);
  return counts;
}

}  // namespace wrenmark
