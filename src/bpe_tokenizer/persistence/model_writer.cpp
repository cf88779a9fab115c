#include "bpe_tokenizer/persistence/model_writer.hpp"

#include <filesystem>
#include <string>

#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/model_format.hpp"
#include "bpe_tokenizer/persistence/replace_file.hpp"

namespace wrenmark {

Status write_model_directory(const BpeTokenizer& tokenizer) {
  const TokenizerSettings& settings = tokenizer.settings;
  if (!settings.save_model) return {};
  if (!tokenizer.model) return TokenizerError::internal_fault("a model is saved before there is one");
  if (!settings.output_dir) {
    return TokenizerError(ErrorKind::OutputDirMissing, "Output directory not provided but save_model is true");
  }
  const std::string& directory = *settings.output_dir;
  // The system calls would stop reading the name at a NUL and write somewhere else.
  if (directory.find('\0') != std::string::npos) {
    return TokenizerError(ErrorKind::FileError, "File Error: path contains a NUL character");
  }

  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) return TokenizerError::file_error(error);

  // Each file is built just before it is written, so at most one file's text is held at a time.
  const Config config = tokenizer.config();
  for (const ModelFile& file : kModelFiles) {
    Status written = replace_file(directory, file.name, file.write(config, *tokenizer.model));
    if (!written) return written;
  }
  return {};
}

}  // namespace wrenmark
