#include "bpe_tokenizer/training/corpus_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kNulInPath = "path contains a NUL character";

TokenizerError unreadable(std::string_view reason) {
  return TokenizerError(ErrorKind::CorpusUnreadable, "Error reading file: " + std::string(reason));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~FileDescriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

}  // namespace

Result<std::string> read_corpus(std::string_view path) {
  // The system call would stop reading the name at a NUL and open another file.
  if (path.find('\0') != std::string_view::npos) return unreadable(kNulInPath);
  const std::string path_text(path);
  FileDescriptor file(::open(path_text.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return unreadable(os_error_text(errno));

  // The size is only a first guess at the capacity: a file that grows meanwhile is read to its end.
  struct stat status {};
  std::string content;
  if (::fstat(file.get(), &status) == 0 && status.st_size > 0) {
    content.resize(static_cast<std::size_t>(status.st_size));
  }
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() < 4096 ? 4096 : content.size() * 2);
    const ssize_t got = ::read(file.get(), content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return unreadable(os_error_text(errno));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  if (!utf8::is_valid(content)) return unreadable("stream did not contain valid UTF-8");
  return content;
}

}  // namespace wrenmark
