#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/io/progress_display.hpp"

namespace wrenmark {

// Reading the corpus, removing the special tokens and counting the words go together, block by
// block: one phase, counted in bytes of the corpus.
// CountingItems is the same phase when the corpus arrives as items of text (counted in items, with
// their bytes beside).
enum class TrainingPhase : std::uint8_t { CountingWords, CountingPairs, Merging, CountingItems };

// What training reports as it goes: the phase it is in and how much of it is done, for the
// progress display, and where it may be stopped. Every phase and loop of training calls
// `advance` every so often; the call is cheap on any thread (an atomic add and a flag), and only
// on the thread that started training does it sometimes look at the clock, ask the
// Cancellation and redraw the display.
class TrainingMonitor {
 public:
  explicit TrainingMonitor(Cancellation& cancellation, bool show_progress = false);

  // Starts a phase of `total` units (0 when unknown) and asks at once whether to stop.
  // True: stop.
  bool begin_phase(TrainingPhase phase, std::uint64_t total);
  // Counts `units` more of the phase done. True: stop. `large_piece` is for callers that come
  // by rarely (after a block of a megabyte, say), which then get the clock read every time.
  bool advance(std::uint64_t units, bool large_piece = false) {
    done_.fetch_add(units, std::memory_order_relaxed);
    if (cancellation_.poll(large_piece)) return true;
    if (display_ && cancellation_.on_owner_thread() &&
        (++calls_since_redraw_check_ >= kCallsPerRedrawCheck || large_piece)) {
      calls_since_redraw_check_ = 0;
      display_->update(done_.load(std::memory_order_relaxed), std::chrono::steady_clock::now(),
                       bytes_beside_.load(std::memory_order_relaxed));
    }
    return false;
  }
  // The bytes that the items counted so far held, for a phase counted in items of text.
  void set_bytes_beside(std::uint64_t bytes) { bytes_beside_.store(bytes, std::memory_order_relaxed); }
  // Asks at once, as after an interrupted system call. True: stop.
  bool check_now() { return cancellation_.check_now(); }
  bool stopped() const { return cancellation_.stopped(); }
  // Closes the display, saying whether training completed.
  void finish(bool completed);

 private:
  static constexpr std::uint32_t kCallsPerRedrawCheck = 16;

  Cancellation& cancellation_;
  std::optional<ProgressDisplay> display_;
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> bytes_beside_{0};
  // Touched by the owner thread only.
  std::uint32_t calls_since_redraw_check_ = 0;
};

}  // namespace wrenmark
