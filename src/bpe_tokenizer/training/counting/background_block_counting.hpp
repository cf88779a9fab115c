#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

// Counts one block at a time on a thread of its own, so that the caller gathers the next block
// meanwhile (pulling items of a Python iterable, say). Where no thread can be started, or the
// worker pool cannot be used, start() counts the block right away on the caller's thread.
class BackgroundBlockCounting {
 public:
  explicit BackgroundBlockCounting(ParallelBlockCounting& counting);
  // Waits for the block in hand.
  ~BackgroundBlockCounting();
  BackgroundBlockCounting(const BackgroundBlockCounting&) = delete;
  BackgroundBlockCounting& operator=(const BackgroundBlockCounting&) = delete;

  // Starts counting `block`, which must stay as it is until wait() returns. Only one block at a
  // time: call wait() first.
  void start(std::string_view block, std::uint64_t origin);
  // Waits until the block in hand is counted, asking `monitor` about a stop meanwhile (a stop is
  // seen by the counting too, which then ends early); the block's status. Rethrows what the
  // counting threw.
  Status wait(TrainingMonitor* monitor);

  // Time spent counting, summed over blocks.
  std::uint64_t work_ns() const { return work_ns_; }

 private:
  void run();

  ParallelBlockCounting& counting_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string_view block_;
  std::uint64_t origin_ = 0;
  bool has_block_ = false;
  bool closing_ = false;
  Status status_;
  std::exception_ptr failure_;
  std::uint64_t work_ns_ = 0;
  std::thread thread_;
};

}  // namespace wrenmark
