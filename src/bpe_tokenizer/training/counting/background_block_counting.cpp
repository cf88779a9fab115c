#include "bpe_tokenizer/training/counting/background_block_counting.hpp"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/system/thread_storage.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"

namespace wrenmark {

namespace {
// How often the waiting caller asks about a stop.
constexpr std::chrono::milliseconds kStopCheck{10};

// A thread running `body`, or an empty one when the system has no thread to give.
template <typename Body>
std::thread thread_if_available(Body body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error&) {
    return {};
  }
}
}  // namespace

BackgroundBlockCounting::BackgroundBlockCounting(ParallelBlockCounting& counting) : counting_(counting) {
  if (!worker_pool_usable()) return;
  // Without a thread, every block is counted by start() itself.
  thread_ = thread_if_available([this] { run(); });
}

BackgroundBlockCounting::~BackgroundBlockCounting() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundBlockCounting::start(std::string_view block, std::uint64_t origin) {
  if (!thread_.joinable()) {
    const Stopwatch stopwatch;
    status_ = counting_.count(block, origin);
    work_ns_ += stopwatch.elapsed_ns();
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    block_ = block;
    origin_ = origin;
    has_block_ = true;
  }
  changed_.notify_all();
}

Status BackgroundBlockCounting::wait(TrainingMonitor* monitor) {
  std::unique_lock lock(mutex_);
  while (has_block_) {
    if (changed_.wait_for(lock, kStopCheck, [this] { return !has_block_; })) break;
    if (monitor != nullptr) {
      lock.unlock();
      monitor->advance(0, true);
      lock.lock();
    }
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return std::exchange(status_, Status());
}

void BackgroundBlockCounting::run() {
  ready_thread_local_storage();
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return has_block_ || closing_; });
    if (!has_block_) return;
    lock.unlock();
    Status counted;
    std::exception_ptr failure;
    const Stopwatch stopwatch;
    try {
      counted = counting_.count(block_, origin_);
    } catch (...) {
      failure = std::current_exception();
    }
    const std::uint64_t elapsed = stopwatch.elapsed_ns();
    lock.lock();
    status_ = std::move(counted);
    failure_ = failure;
    work_ns_ += elapsed;
    has_block_ = false;
    changed_.notify_all();
  }
}

}  // namespace wrenmark
