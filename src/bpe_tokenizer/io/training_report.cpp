#include "bpe_tokenizer/io/training_report.hpp"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "bpe_tokenizer/io/file_descriptor.hpp"

namespace wrenmark::training_report {

namespace {

// Never destroyed: the exit-time flush may run after static destructors.
std::string& pending() {
  static auto* buffer = new std::string();
  return *buffer;
}

// Progress output is best effort: a closed stdout must not fail training.
void write_to_stdout(std::string_view text) { write_all(STDOUT_FILENO, text); }

void register_exit_flush() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flush); });
}

}  // namespace

void print(std::string_view text) {
  register_exit_flush();
  std::string& buffer = pending();
  buffer.append(text);
  const std::size_t last_line_end = buffer.rfind('\n');
  if (last_line_end == std::string::npos) return;
  write_to_stdout(std::string_view(buffer).substr(0, last_line_end + 1));
  buffer.erase(0, last_line_end + 1);
}

void print_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  print(line);
}

void flush() {
  std::string& buffer = pending();
  write_to_stdout(buffer);
  buffer.clear();
}

}  // namespace wrenmark::training_report
