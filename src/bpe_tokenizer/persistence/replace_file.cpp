#include "bpe_tokenizer/persistence/replace_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "bpe_tokenizer/io/file_descriptor.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"

namespace wrenmark {

namespace {

TokenizerError file_error_from_errno(int errno_value) {
  return TokenizerError::file_error(std::error_code(errno_value, std::system_category()));
}

// A temporary file beside the target, hidden and named after it: ".{name}.{pid}-{n}.tmp".
// The handle is empty, with errno set, when no such file can be made.
FileDescriptor create_temporary(std::string_view directory, std::string_view name, std::string& path) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temporary_name = ".";
    temporary_name.append(name).append(".").append(std::to_string(::getpid()));
    temporary_name.append("-").append(std::to_string(counter++)).append(".tmp");
    path = model_files::path_in(directory, temporary_name);
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.is_open() || errno != EEXIST) return file;
  }
  return FileDescriptor();
}

}  // namespace

Status replace_file(std::string_view directory, std::string_view name, std::string_view content) {
  std::string temporary_path;
  FileDescriptor file = create_temporary(directory, name, temporary_path);
  if (!file.is_open()) return file_error_from_errno(errno);

  int failure = write_all(file.get(), content);
  if (failure == 0 && ::fsync(file.get()) != 0) failure = errno;
  const int close_failure = file.close();
  if (failure == 0) failure = close_failure;
  if (failure != 0) {
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
