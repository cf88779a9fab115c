#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace wrenmark {

// What a long operation asks from time to time: should it stop? The binding answers by running
// the interpreter's pending signal handlers; the core knows nothing about who answers.
class StopRequest {
 public:
  virtual ~StopRequest() = default;
  // Called only on the thread that started the operation. True stops the operation.
  virtual bool stop_now() = 0;
};

// Where an operation checks for a stop. `poll` is cheap enough for inner loops: on worker threads
// it reads one flag; on the thread that started the operation it counts calls and looks at the
// clock every `kCallsPerClockRead` calls (every call for a caller that polls after a large piece
// of work), asking the StopRequest once `kInterval` has passed. Once a stop was asked for, every
// thread sees it at its next poll.
class Cancellation {
  static constexpr std::size_t kCacheLine = 64;

 public:
  static constexpr std::chrono::milliseconds kInterval{20};
  static constexpr std::uint32_t kCallsPerClockRead = 16;

  explicit Cancellation(StopRequest* request = nullptr)
      : request_(request), owner_(std::this_thread::get_id()), last_check_(std::chrono::steady_clock::now()) {}
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // True once the operation must stop.
  bool poll(bool after_large_piece = false) {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (request_ == nullptr || std::this_thread::get_id() != owner_) return false;
    if (++calls_ < kCallsPerClockRead && !after_large_piece) return false;
    calls_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check_ < kInterval) return false;
    last_check_ = now;
    return ask();
  }

  // Asks at once; a no-op returning the flag on other threads. Used where a phase begins.
  bool check_now() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (request_ == nullptr || std::this_thread::get_id() != owner_) return false;
    last_check_ = std::chrono::steady_clock::now();
    return ask();
  }

  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
  // Stops the operation for a reason of its own (one of its threads gave up): every thread sees
  // it at its next poll.
  void stop() { stopped_.store(true, std::memory_order_relaxed); }
  bool on_owner_thread() const { return std::this_thread::get_id() == owner_; }

 private:
  bool ask() {
    if (!request_->stop_now()) return false;
    stopped_.store(true, std::memory_order_relaxed);
    return true;
  }

  // Every thread reads these at every poll, so they sit on a cache line that nothing writes but a
  // stop: sharing one with the owner's counter below made each poll of a worker miss while the
  // owner polled too, a stall per text in a batch of short texts.
  alignas(kCacheLine) std::atomic<bool> stopped_{false};
  StopRequest* request_;
  std::thread::id owner_;
  // The owner's alone, written as it polls.
  alignas(kCacheLine) std::chrono::steady_clock::time_point last_check_;
  std::uint32_t calls_ = 0;
};

}  // namespace wrenmark
