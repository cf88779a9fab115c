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
