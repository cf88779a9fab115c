#include "bpe_tokenizer/persistence/replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "bpe_tokenizer/io/file_descriptor.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"

namespace wrenmark {

namespace {

// As many links as the system itself follows before it gives up with ELOOP.
constexpr int kMaxLinkHops = 40;

TokenizerError file_error_from_errno(int errno_value) {
  return TokenizerError::file_error(std::error_code(errno_value, std::system_category()));
}

// Where a write to `path` lands: `path` itself, or, when it is a symbolic link, the file at the
// end of its chain of links, so that replacing the file leaves the links in place.
std::filesystem::path write_target(std::filesystem::path path) {
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)) || error) return path;
    const std::filesystem::path link = std::filesystem::read_symlink(path, error);
    if (error) return path;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

// A temporary file beside the target, hidden and named after it: ".{name}.{pid}-{n}.tmp".
// The handle is empty, with errno set, when no such file can be made.
FileDescriptor create_temporary(const std::string& directory, const std::string& name, std::string& path) {
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
  const std::filesystem::path target = write_target(model_files::path_in(directory, name));
  const std::string target_path = target.string();
  std::string temporary_path;
  FileDescriptor file = create_temporary(target.parent_path().string(), target.filename().string(), temporary_path);
  if (!file.is_open()) return file_error_from_errno(errno);

  // The new file takes the permission bits of the one it replaces; a first save keeps the mode
  // that creating it with 0666 under the umask gave.
  struct stat existing{};
  if (::stat(target_path.c_str(), &existing) == 0 && ::fchmod(file.get(), existing.st_mode & 07777) != 0) {
    const int chmod_errno = errno;
    file.close();
    ::unlink(temporary_path.c_str());
    return file_error_from_errno(chmod_errno);
  }

  int failure = write_all(file.get(), content);
  if (failure == 0 && ::fsync(file.get()) != 0) failure = errno;
  const int close_failure = file.close();
  if (failure == 0) failure = close_failure;
  if (failure != 0) {
    ::unlink(temporary_path.c_str());
    return TokenizerError::json_error(os_error_text(failure));
  }

  if (::rename(temporary_path.c_str(), target_path.c_str()) != 0) {
    const int rename_errno = errno;
    ::unlink(temporary_path.c_str());
    return file_error_from_errno(rename_errno);
  }
  return {};
}

}  // namespace wrenmark
