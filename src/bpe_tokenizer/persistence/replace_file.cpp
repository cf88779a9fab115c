#include "bpe_tokenizer/persistence/replace_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "bpe_tokenizer/persistence/model_files.hpp"

namespace wrenmark {

namespace {

TokenizerError file_error_from_errno(int errno_value) {
  return TokenizerError::file_error(std::error_code(errno_value, std::system_category()));
}

// A temporary file beside the target, hidden and named after it: ".{name}.{pid}-{n}.tmp".
// Returns the open descriptor, or -1 with errno set.
int create_temporary(std::string_view directory, std::string_view name, std::string& path) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary_name = ".";
    temporary_name.append(name).append(".").append(std::to_string(::getpid()));
    temporary_name.append("-").append(std::to_string(counter++)).append(".tmp");
    path = model_files::path_in(directory, temporary_name);
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
  }
  return -1;
}

// Writes all of `content`; false with errno set when the system refuses.
bool write_all(int descriptor, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(descriptor, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

Status replace_file(std::string_view directory, std::string_view name, std::string_view content) {
  std::string temporary_path;
  const int descriptor = create_temporary(directory, name, temporary_path);
  if (descriptor < 0) return file_error_from_errno(errno);

  const bool written = write_all(descriptor, content) && ::fsync(descriptor) == 0;
  const int write_errno = errno;
  const bool closed = ::close(descriptor) == 0;
  if (!written || !closed) {
    const int failure = written ? errno : write_errno;
    ::unlink(temporary_path.c_str());
    return TokenizerError::json_error(os_error_text(failure));
  }

  const std::string final_path = model_files::path_in(directory, name);
  if (::rename(temporary_path.c_str(), final_path.c_str()) != 0) {
    const int rename_errno = errno;
    ::unlink(temporary_path.c_str());
    return file_error_from_errno(rename_errno);
  }
  return {};
}

}  // namespace wrenmark
