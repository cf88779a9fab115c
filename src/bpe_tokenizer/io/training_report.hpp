#pragma once

#include <string_view>

namespace wrenmark::training_report {

// The lines training writes on standard output (the timing lines and the out-of-pairs message)
// go straight to file descriptor 1, bypassing Python's sys.stdout. They are line-buffered here:
// text reaches the stream at a line end, and what is still pending when the process exits is
// flushed then.
void print(std::string_view text);
void print_line(std::string_view text);
void flush();

}  // namespace wrenmark::training_report
