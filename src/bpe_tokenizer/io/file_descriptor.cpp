#include "bpe_tokenizer/io/file_descriptor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace wrenmark {

FileDescriptor FileDescriptor::open_for_reading(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    errno = EINVAL;
    return FileDescriptor();
  }
  const std::string path_text(path);
  return FileDescriptor(::open(path_text.c_str(), O_RDONLY | O_CLOEXEC));
}

int FileDescriptor::close() {
  if (descriptor_ < 0) return 0;
  const int result = ::close(std::exchange(descriptor_, -1));
  return result == 0 ? 0 : errno;
}

int read_to_end(int descriptor, std::string& content) {
  content.clear();
  // Read straight into the string: a buffer on the stack would not fit a small thread stack.
  struct stat status{};
  if (::fstat(descriptor, &status) == 0 && status.st_size > 0) {
    content.resize(static_cast<std::size_t>(status.st_size));
  }
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(std::max<std::size_t>(4096, content.size() * 2));
    const ssize_t got = ::read(descriptor, content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      content.clear();
      return error;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return 0;
}

int write_all(int descriptor, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(descriptor, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

}  // namespace wrenmark
