#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace wrenmark {

// An open file descriptor, closed when the handle goes away. The operations report failure as
// the system's error number (0 for success), so that each caller can word the error its way.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  // Opens `path` for reading. On failure the handle is empty and errno tells why; a path with a
  // NUL inside fails with EINVAL rather than opening the file its first part names.
  static FileDescriptor open_for_reading(std::string_view path);

  bool is_open() const { return descriptor_ >= 0; }
  int get() const { return descriptor_; }

  // Closes the descriptor now; the error number of a failed close, else 0.
  int close();

 private:
  int descriptor_ = -1;
};

// Reads from `descriptor` to the end of the file into `content`, replacing what it held.
// The file's size only sizes the first read, so a file that grows meanwhile is read whole.
int read_to_end(int descriptor, std::string& content);

// Writes all of `content`, going on after partial and interrupted writes.
int write_all(int descriptor, std::string_view content);

}  // namespace wrenmark
