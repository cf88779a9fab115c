#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "bpe_tokenizer/io/training_report.hpp"

namespace wrenmark {

// What a phase counts, for the figures of the progress display.
// TextItems: items of text, shown with the bytes they held (`bytes_beside`).
enum class ProgressUnit : std::uint8_t { Bytes, Merges, Items, TextItems };

// Training's progress on standard error (file descriptor 2, bypassing Python's sys.stderr). On a
// terminal one line is redrawn in place: phase, a bar, done of total, rate and time left. Anywhere
// else a plain line is written when a phase begins and then every few seconds, so that logs stay
// short. Writing is best effort: a closed stream does not disturb training.
//
// When standard output is the same terminal, the line steps aside for the lines of
// training_report (cleared before, drawn again after), so that each of them keeps a row of its own.
// The display is driven from one thread; stepping aside may come from any thread.
class ProgressDisplay final : private training_report::SharedTerminalLine {
 public:
  explicit ProgressDisplay(int descriptor = 2);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Starts a phase of `total` units (0: unknown) and shows it at once.
  void begin_phase(std::string_view name, std::uint64_t total, ProgressUnit unit);
  // Shows `done` units of the current phase if it is time to redraw.
  void update(std::uint64_t done, std::chrono::steady_clock::time_point now, std::uint64_t bytes_beside = 0);
  // Ends the display with the total time; on a terminal the line is closed.
  void finish(bool completed);

  bool on_terminal() const { return terminal_; }

  // The text shown for a phase, without the terminal's control characters.
  static std::string status_text(std::string_view phase, std::uint64_t done, std::uint64_t total, ProgressUnit unit,
                                 double seconds, bool with_bar, std::uint64_t bytes_beside = 0);

 private:
  void show(std::uint64_t done, std::chrono::steady_clock::time_point now);
  void write(std::string_view text) const;
  void clear() override;
  void redraw(bool line_ended) override;

  int descriptor_;
  bool terminal_;
  std::string phase_;
  std::uint64_t total_ = 0;
  ProgressUnit unit_ = ProgressUnit::Items;
  std::uint64_t bytes_beside_ = 0;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point phase_started_;
  std::chrono::steady_clock::time_point last_shown_;
  bool sharing_terminal_ = false;
  // Guards the line's state and the writes, which stepping aside does from other threads.
  std::mutex line_mutex_;
  bool line_open_ = false;
  std::string line_text_;
};

}  // namespace wrenmark
