#include "bpe_tokenizer/io/training_report.hpp"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "bpe_tokenizer/io/duration_format.hpp"
#include "bpe_tokenizer/io/file_descriptor.hpp"

namespace wrenmark::training_report {

namespace {

struct Report {
  std::mutex mutex;
  std::string pending;
  SharedTerminalLine* shared_line = nullptr;
};

// Never destroyed: the exit-time flush may run after static destructors.
Report& report() {
  static auto* state = new Report();
  return *state;
}

// Progress output is best effort: a closed stdout must not fail training.
void write_to_stdout(Report& state, std::string_view text) {
  if (text.empty()) return;
  if (state.shared_line != nullptr) state.shared_line->clear();
  write_all(STDOUT_FILENO, text);
  if (state.shared_line != nullptr) state.shared_line->redraw(text.back() == '\n');
}

void register_exit_flush() {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(flush); });
}

}  // namespace

void print(std::string_view text) {
  register_exit_flush();
  Report& state = report();
  const std::lock_guard lock(state.mutex);
  std::string& buffer = state.pending;
  buffer.append(text);
  const std::size_t last_line_end = buffer.rfind('\n');
  if (last_line_end == std::string::npos) return;
  write_to_stdout(state, std::string_view(buffer).substr(0, last_line_end + 1));
  buffer.erase(0, last_line_end + 1);
}

void print_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  print(line);
}

void print_timing(std::string_view label, std::uint64_t nanoseconds) {
  std::string line(label);
  line.append(" took time: ").append(format_duration(nanoseconds));
  print_line(line);
}

void flush() {
  Report& state = report();
  const std::lock_guard lock(state.mutex);
  write_to_stdout(state, state.pending);
  state.pending.clear();
}

bool share_terminal(SharedTerminalLine& line) {
  Report& state = report();
  const std::lock_guard lock(state.mutex);
  if (state.shared_line != nullptr) return false;
  state.shared_line = &line;
  return true;
}

void stop_sharing_terminal(SharedTerminalLine& line) {
  Report& state = report();
  const std::lock_guard lock(state.mutex);
  if (state.shared_line == &line) state.shared_line = nullptr;
}

}  // namespace wrenmark::training_report
