#include "bpe_tokenizer/io/progress_display.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <utility>

#include "bpe_tokenizer/io/file_descriptor.hpp"

namespace wrenmark {

namespace {

constexpr std::chrono::milliseconds kTerminalRedraw{100};
constexpr std::chrono::seconds kPlainLineInterval{3};
constexpr int kBarWidth = 24;
constexpr std::string_view kEraseToLineEnd = "\x1b[K";
constexpr std::string_view kClearLine = "\r\x1b[K";

// Both on one terminal device, so that what one writes shows on the row the other draws.
bool same_terminal(int first, int second) {
  if (::isatty(first) != 1 || ::isatty(second) != 1) return false;
  struct stat first_status{};
  struct stat second_status{};
  if (::fstat(first, &first_status) != 0 || ::fstat(second, &second_status) != 0) return false;
  return first_status.st_rdev == second_status.st_rdev && first_status.st_dev == second_status.st_dev &&
         first_status.st_ino == second_status.st_ino;
}

std::string amount(std::uint64_t value, ProgressUnit unit) {
  char text[32];
  if (unit == ProgressUnit::Bytes) {
    const double megabytes = static_cast<double>(value) / 1e6;
    if (megabytes >= 1000) {
      std::snprintf(text, sizeof text, "%.2f GB", megabytes / 1000);
    } else {
      std::snprintf(text, sizeof text, "%.1f MB", megabytes);
    }
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64, value);
  }
  return text;
}

std::string clock_time(double seconds) {
  // Bounded so that the conversion stays defined for any estimate, even a wild one.
  const auto whole = static_cast<std::uint64_t>(std::llround(std::clamp(seconds, 0.0, 1e12)));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 ":%02" PRIu64, whole / 60, whole % 60);
  }
  return text;
}

double seconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

ProgressDisplay::ProgressDisplay(int descriptor)
    : descriptor_(descriptor),
      terminal_(::isatty(descriptor) == 1),
      started_(std::chrono::steady_clock::now()),
      phase_started_(started_),
      last_shown_(started_) {
  if (terminal_ && same_terminal(descriptor, STDOUT_FILENO)) {
    sharing_terminal_ = training_report::share_terminal(*this);
  }
}

ProgressDisplay::~ProgressDisplay() {
  if (sharing_terminal_) training_report::stop_sharing_terminal(*this);
  const std::lock_guard lock(line_mutex_);
  if (line_open_) write("\n");
}

std::string ProgressDisplay::status_text(std::string_view phase, std::uint64_t done, std::uint64_t total,
                                         ProgressUnit unit, double seconds, bool with_bar, std::uint64_t bytes_beside) {
  std::string text(phase);
  const char* unit_name = unit == ProgressUnit::Merges ? " merges" : unit == ProgressUnit::TextItems ? " items" : "";
  if (total > 0) {
    done = std::min(done, total);
    const double fraction = static_cast<double>(done) / static_cast<double>(total);
    if (with_bar) {
      const int filled = static_cast<int>(fraction * kBarWidth);
      text.append(" [").append(static_cast<std::size_t>(filled), '#');
      text.append(static_cast<std::size_t>(kBarWidth - filled), '.').append("]");
    }
    char percent[16];
    std::snprintf(percent, sizeof percent, " %3d%% ", static_cast<int>(fraction * 100));
    text.append(percent).append(amount(done, unit)).append(" of ").append(amount(total, unit)).append(unit_name);
  } else if (done > 0) {
    text.append(" ").append(amount(done, unit)).append(unit_name);
  }
  if (unit == ProgressUnit::TextItems && done > 0) text.append(", ").append(amount(bytes_beside, ProgressUnit::Bytes));
  if (seconds > 0.05 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    text.append(", ").append(amount(static_cast<std::uint64_t>(rate), unit));
    text.append(unit == ProgressUnit::Merges ? " merges/s" : unit == ProgressUnit::TextItems ? " items/s" : "/s");
    if (total > done && rate > 0) {
      text.append(", ").append(clock_time(static_cast<double>(total - done) / rate)).append(" left");
    }
  }
  return text;
}

void ProgressDisplay::begin_phase(std::string_view name, std::uint64_t total, ProgressUnit unit) {
  phase_ = name;
  total_ = total;
  unit_ = unit;
  bytes_beside_ = 0;
  phase_started_ = std::chrono::steady_clock::now();
  show(0, phase_started_);
}

void ProgressDisplay::update(std::uint64_t done, std::chrono::steady_clock::time_point now,
                             std::uint64_t bytes_beside) {
  bytes_beside_ = bytes_beside;
  if (now - last_shown_ < (terminal_ ? std::chrono::duration_cast<std::chrono::milliseconds>(kTerminalRedraw)
                                     : std::chrono::duration_cast<std::chrono::milliseconds>(kPlainLineInterval))) {
    return;
  }
  show(done, now);
}

void ProgressDisplay::show(std::uint64_t done, std::chrono::steady_clock::time_point now) {
  last_shown_ = now;
  std::string text =
      status_text(phase_, done, total_, unit_, seconds_between(phase_started_, now), terminal_, bytes_beside_);
  const std::lock_guard lock(line_mutex_);
  if (terminal_) {
    // Back to the start of the line, the text, then clear whatever a longer text left behind.
    write("\r" + text + std::string(kEraseToLineEnd));
    line_open_ = true;
    line_text_ = std::move(text);
  } else {
    write("wrenmark: " + text + "\n");
  }
}

void ProgressDisplay::finish(bool completed) {
  const std::string text = std::string(completed ? "training done in " : "training stopped after ") +
                           clock_time(seconds_between(started_, std::chrono::steady_clock::now()));
  const std::lock_guard lock(line_mutex_);
  if (terminal_) {
    write("\r" + text + std::string(kEraseToLineEnd) + "\n");
  } else {
    write("wrenmark: " + text + "\n");
  }
  line_open_ = false;
}

void ProgressDisplay::clear() {
  const std::lock_guard lock(line_mutex_);
  if (line_open_) write(kClearLine);
}

void ProgressDisplay::redraw(bool line_ended) {
  const std::lock_guard lock(line_mutex_);
  if (!line_open_) return;
  // Text that stopped inside a line keeps its row; the display goes on below it.
  std::string text(line_ended ? "\r" : "\n\r");
  text.append(line_text_).append(kEraseToLineEnd);
  write(text);
}

// A display that cannot be written is not worth failing training for.
void ProgressDisplay::write(std::string_view text) const { write_all(descriptor_, text); }

}  // namespace wrenmark
