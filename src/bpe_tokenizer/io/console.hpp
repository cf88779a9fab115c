#pragma once

#include <string_view>

namespace wrenmark::console {

// Progress text goes straight to file descriptor 1, bypassing Python's sys.stdout. It is
// line-buffered here: text reaches the stream at a line end, and what is still pending when the
// process exits is flushed then.
void print(std::string_view text);
void print_line(std::string_view text);
void flush();

}  // namespace wrenmark::console
