#include "bpe_tokenizer/persistence/model_writer.hpp"

#include <filesystem>
#include <string>

#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/model_format.hpp"
#include "bpe_tokenizer/persistence/replace_file.hpp"

namespace wrenmark {

namespace {

Status write_model_files(const BpeTokenizer& tokenizer, std::string_view output_dir) {
  const std::string directory(output_dir);
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

}  // namespace

Status save_model_if_requested(const BpeTokenizer& tokenizer) {
  const TokenizerSettings& settings = tokenizer.settings;
  if (!settings.save_model) return {};
  if (!tokenizer.model) return TokenizerError::internal_fault("a model is saved before there is one");
  if (!settings.output_dir) {
    return TokenizerError(ErrorKind::OutputDirMissing, "Output directory not provided but save_model is true");
  }
  return write_model_files(tokenizer, *settings.output_dir);
}

Status save_model_to(const BpeTokenizer& tokenizer, std::string_view output_dir) {
  if (!tokenizer.trained()) return TokenizerError::invalid_state("Cannot save an untrained tokenizer");
  return write_model_files(tokenizer, output_dir);
}

}  // namespace wrenmark
