#pragma once

#include <string>
#include <string_view>

namespace wrenmark::model_files {

inline constexpr std::string_view kConfig = "config.json";
inline constexpr std::string_view kTokenTable = "token_table.json";
inline constexpr std::string_view kMergeRules = "merge_rules.json";
inline constexpr std::string_view kRanks = "save_ranks.json";
inline constexpr std::string_view kPairsToMerge = "pairs_to_merge.json";

// "{directory}/{name}": the directory string is used as given, joined with a forward slash.
inline std::string path_in(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory).push_back('/');
  path.append(name);
  return path;
}

}  // namespace wrenmark::model_files

namespace wrenmark::config_members {

// The members of config.json: the four every model has, then the optional ones, in the order
// they are written. An optional member is written only when its setting is used.
inline constexpr std::string_view kTargetVocabSize = "target_vocab_size";
inline constexpr std::string_view kPreTokenizer = "pre_tokenizer";
inline constexpr std::string_view kSpecialTokens = "special_tokens";
inline constexpr std::string_view kRemovalMethod = "special_token_removal_method";
inline constexpr std::string_view kUnknownToken = "unknown_token";

inline constexpr std::string_view kAll[] = {kTargetVocabSize, kPreTokenizer, kSpecialTokens, kRemovalMethod,
                                            kUnknownToken};
inline constexpr std::size_t kRequiredCount = 4;

}  // namespace wrenmark::config_members
