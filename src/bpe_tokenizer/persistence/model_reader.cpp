#include "bpe_tokenizer/persistence/model_reader.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "bpe_tokenizer/io/file_descriptor.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/model_format.hpp"

namespace wrenmark {

namespace {

bool exists(const std::string& path, bool* is_directory = nullptr) {
  struct stat info;
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) return false;
  if (is_directory != nullptr) *is_directory = S_ISDIR(info.st_mode);
  return true;
}

// The whole file. Failing to open it is a FileError; failing to read it, a JsonError (it is a
// failure of parsing the file, which reads as it goes).
Result<std::string> read_file(const std::string& path) {
  const FileDescriptor file = FileDescriptor::open_for_reading(path);
  if (!file.is_open()) return TokenizerError::file_error(std::error_code(errno, std::system_category()));
  std::string text;
  if (const int error = read_to_end(file.get(), text); error != 0) {
    return TokenizerError::json_error(os_error_text(error));
  }
  return text;
}

// Reads one file of the directory into its part of `saved`.
Status read_model_file(const std::string& directory, const ModelFile& file, SavedModel& saved) {
  auto text = read_file(model_files::path_in(directory, file.name));
  if (!text) return text.error();
  return read_model_text(file, std::move(text).value(), saved);
}

}  // namespace

Result<BpeTokenizer> load_model_directory(std::string_view files_path) {
  const std::string directory(files_path);
  bool is_directory = false;
  if (!exists(directory, &is_directory) || !is_directory) {
    return TokenizerError(ErrorKind::ModelDirInvalid,
                          directory + " directory does not exists or the path provided is not a directory");
  }
  // Missing files are looked for in this order, so the first missing one of it is named.
  for (const std::string_view name : {model_files::kConfig, model_files::kMergeRules, model_files::kPairsToMerge,
                                      model_files::kRanks, model_files::kTokenTable}) {
    if (!exists(model_files::path_in(directory, name))) {
      return TokenizerError(ErrorKind::ModelFileMissing,
                            std::string(name) + " does not exist in the directory provided");
    }
  }

  SavedModel saved;
  for (const ModelFile& file : kModelFiles) {
    if (Status read = read_model_file(directory, file, saved); !read) return read.error();
  }

  return BpeTokenizer(loaded_settings(std::move(saved.config)), std::make_shared<const Model>(std::move(saved.model)));
}

}  // namespace wrenmark
