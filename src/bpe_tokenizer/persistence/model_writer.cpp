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
  const Model& model = *tokenizer.model;
  const std::pair<std::string_view, std::string (*)(const Config&, const Model&)> files[] = {
      {model_files::kConfig, [](const Config& c, const Model&) { return config_json(c); }},
      {model_files::kTokenTable, [](const Config&, const Model& m) { return token_table_json(m.token_table); }},
      {model_files::kMergeRules, [](const Config&, const Model& m) { return merge_rules_json(m.merge_rules); }},
      {model_files::kRanks, [](const Config&, const Model& m) { return ranks_json(m.merge_rules, m.ranks); }},
      {model_files::kPairsToMerge,
       [](const Config&, const Model& m) { return pairs_to_merge_json(m.merge_rules, m.pairs_to_merge); }},
  };
  for (const auto& [name, build] : files) {
    Status written = replace_file(directory, name, build(config, model));
    if (!written) return written;
  }
  return {};
}

}  // namespace wrenmark
