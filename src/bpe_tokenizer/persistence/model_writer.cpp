#include "bpe_tokenizer/persistence/model_writer.hpp"

#include <filesystem>
#include <string>

#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/model_json_writer.hpp"
#include "bpe_tokenizer/persistence/replace_file.hpp"

namespace wrenmark {

Status write_model_directory(const BpeTokenizer& tokenizer) {
  const TokenizerSettings& settings = tokenizer.settings;
  if (!settings.save_model) return {};
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
  const std::pair<std::string_view, std::string (*)(const BpeTokenizer&)> files[] = {
      {model_files::kConfig, [](const BpeTokenizer& t) { return config_json(t.config()); }},
      {model_files::kTokenTable, [](const BpeTokenizer& t) { return token_table_json(t.token_table); }},
      {model_files::kMergeRules, [](const BpeTokenizer& t) { return merge_rules_json(t.merge_rules); }},
      {model_files::kRanks, [](const BpeTokenizer& t) { return ranks_json(t.merge_rules, t.ranks); }},
      {model_files::kPairsToMerge,
       [](const BpeTokenizer& t) { return pairs_to_merge_json(t.merge_rules, t.pairs_to_merge); }},
  };
  for (const auto& [name, build] : files) {
    Status written = replace_file(directory, name, build(tokenizer));
    if (!written) return written;
  }
  return {};
}

}  // namespace wrenmark
