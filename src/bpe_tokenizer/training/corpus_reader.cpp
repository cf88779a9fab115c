#include "bpe_tokenizer/training/corpus_reader.hpp"

#include <cerrno>

#include "bpe_tokenizer/io/file_descriptor.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

TokenizerError unreadable(std::string_view reason) {
  return TokenizerError(ErrorKind::CorpusUnreadable, "Error reading file: " + std::string(reason));
}

}  // namespace

Result<std::string> read_corpus(std::string_view path) {
  // The system call would stop reading the name at a NUL and open another file.
  if (path.find('\0') != std::string_view::npos) return unreadable("path contains a NUL character");
  const FileDescriptor file = FileDescriptor::open_for_reading(path);
  if (!file.is_open()) return unreadable(os_error_text(errno));
  std::string content;
  if (const int error = read_to_end(file.get(), content); error != 0) return unreadable(os_error_text(error));
  if (!utf8::is_valid(content)) return unreadable("stream did not contain valid UTF-8");
  return content;
}

}  // namespace wrenmark
