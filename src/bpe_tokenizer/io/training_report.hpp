#pragma once

#include <cstdint>
#include <string_view>

namespace wrenmark::training_report {

// The lines training writes on standard output (the timing lines and the out-of-pairs message)
// go straight to file descriptor 1, bypassing Python's sys.stdout. They are line-buffered here:
// text reaches the stream at a line end, and what is still pending when the process exits is
// flushed then. Safe to call from any thread.
void print(std::string_view text);
void print_line(std::string_view text);
// A timing line: "<label> took time: <duration>".
void print_timing(std::string_view label, std::uint64_t nanoseconds);
void flush();

// A line kept drawn in place, with carriage returns, on the terminal that standard output writes
// to as well. Text written there would land inside the line, so while the line is registered it
// steps aside around every write: cleared before, drawn again after. Both are called with the
// report's lock held, so they must not print.
class SharedTerminalLine {
 public:
  // Leaves the cursor at the start of an empty row.
  virtual void clear() = 0;
  // `line_ended` is false when the text written stopped inside a line, which the redraw must keep.
  virtual void redraw(bool line_ended) = 0;

 protected:
  ~SharedTerminalLine() = default;
};

// Registers `line` until `stop_sharing_terminal`. One line at a time: while another one is
// registered this returns false and changes nothing.
bool share_terminal(SharedTerminalLine& line);
void stop_sharing_terminal(SharedTerminalLine& line);

}  // namespace wrenmark::training_report
