#pragma once

#include <chrono>
#include <cstdint>

namespace wrenmark {

// Wall time on the steady clock since the stopwatch started, in nanoseconds as the timing
// lines of training report it.
class Stopwatch {
 public:
  Stopwatch() : start_(Clock::now()) {}

  std::uint64_t elapsed_ns() const { return nanoseconds_between(start_, Clock::now()); }

  // The time since the start or the previous lap, and a new start now: consecutive laps cover
  // consecutive stretches of time, with nothing lost between them.
  std::uint64_t lap_ns() {
    const Clock::time_point now = Clock::now();
    const std::uint64_t lap = nanoseconds_between(start_, now);
    start_ = now;
    return lap;
  }

 private:
  using Clock = std::chrono::steady_clock;

  static std::uint64_t nanoseconds_between(Clock::time_point from, Clock::time_point to) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
  }

  Clock::time_point start_;
};

}  // namespace wrenmark
