#include "bpe_tokenizer/persistence/model_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "bpe_tokenizer/persistence/json_file_reader.hpp"
#include "bpe_tokenizer/persistence/model_files.hpp"
#include "bpe_tokenizer/persistence/optional_config_members.hpp"
#include "bpe_tokenizer/persistence/pair_key_text.hpp"

namespace wrenmark {

namespace {

constexpr std::uint64_t kMaxTokenId = std::numeric_limits<TokenId>::max();
constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

bool exists(const std::string& path, bool* is_directory = nullptr) {
  struct stat info;
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) return false;
  if (is_directory != nullptr) *is_directory = S_ISDIR(info.st_mode);
  return true;
}

// The whole file. Failing to open it is a FileError; failing to read it, a JsonError (it is a
// failure of parsing the file, which reads as it goes).
Result<std::string> read_file(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return TokenizerError::file_error(std::error_code(errno, std::system_category()));
  // Read straight into the string: a buffer on the stack would not fit a small thread stack.
  std::string text;
  struct stat info;
  if (::fstat(descriptor, &info) == 0 && info.st_size > 0) text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  while (true) {
    if (filled == text.size()) text.resize(std::max<std::size_t>(4096, text.size() * 2));
    const ssize_t count = ::read(descriptor, text.data() + filled, text.size() - filled);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      const int read_errno = errno;
      ::close(descriptor);
      return TokenizerError::json_error(os_error_text(read_errno));
    }
    filled += static_cast<std::size_t>(count);
  }
  text.resize(filled);
  ::close(descriptor);
  return text;
}

// Reads the named file of the directory with `parse`, which reads the top-level value.
template <typename Parse>
Status read_model_file(const std::string& directory, std::string_view name, Parse&& parse) {
  auto text = read_file(model_files::path_in(directory, name));
  if (!text) return text.error();
  JsonFileReader reader(name);
  if (!reader.start(std::move(text).value()) || !parse(reader) || !reader.finish() || reader.has_deferred_fault()) {
    return reader.error();
  }
  return {};
}

constexpr std::string_view kPreTokenizationNames[] = {variant_name(PreTokenization::Whitespace),
                                                   variant_name(PreTokenization::Punctuation)};
constexpr std::string_view kRemovalMethodNames[] = {variant_name(SpecialTokenRemovalMethod::Simple),
                                                    variant_name(SpecialTokenRemovalMethod::AhoCorasick)};

// The four members that every config.json has, then the optional ones.
std::vector<std::string_view> config_fields() {
  std::vector<std::string_view> fields = {"target_vocab_size", "pre_tokenizer", "special_tokens",
                                          "special_token_removal_method"};
  for (const OptionalConfigMember& member : optional_config_members()) fields.push_back(member.key);
  return fields;
}
constexpr std::size_t kRequiredConfigFields = 4;

bool read_config(JsonFileReader& reader, Config& config) {
  static const std::vector<std::string_view> fields = config_fields();
  const auto read_field = [&](std::size_t field, ondemand::value& value) {
    if (field >= kRequiredConfigFields) {
      return optional_config_members()[field - kRequiredConfigFields].read(reader, value, config);
    }
    std::size_t variant = 0;
    switch (field) {
      case 0:
        return reader.read_unsigned(value, kMaxU64, config.target_vocab_size);
      case 1:
        if (!reader.read_variant(value, kPreTokenizationNames, variant)) return false;
        config.pre_tokenization = static_cast<PreTokenization>(variant);
        return true;
      case 2:
        return reader.read_array(value, "an array of strings", [&](ondemand::value& element) {
          std::string_view token;
          if (!reader.read_string(element, token)) return false;
          config.special_tokens.emplace_back(token);
          return true;
        });
      default:
        if (!reader.read_variant(value, kRemovalMethodNames, variant)) return false;
        config.special_token_removal_method = static_cast<SpecialTokenRemovalMethod>(variant);
        return true;
    }
  };
  return reader.read_record(reader.document(), "Config", fields, read_field, kRequiredConfigFields);
}

bool read_token_table(JsonFileReader& reader, TokenTable& table) {
  static constexpr std::string_view fields[] = {"id_to_token", "token_to_id"};
  return reader.read_record(reader.document(), "TokenTable", fields, [&](std::size_t field, ondemand::value& value) {
    if (field == 0) {
      return reader.read_array(value, "an array of strings", [&](ondemand::value& element) {
        std::string_view token;
        if (!reader.read_string(element, token)) return false;
        table.append_id_to_token(token);
        return true;
      });
    }
    return reader.read_object(value, "an object of token ids",
                              [&](std::string_view token, const char*, ondemand::value& id_value) {
                                std::uint64_t id = 0;
                                if (!reader.read_unsigned(id_value, kMaxTokenId, id)) return false;
                                table.set_token_to_id(token, static_cast<TokenId>(id));  // a later key wins
                                return true;
                              });
  });
}

bool read_merge_rules(JsonFileReader& reader, std::vector<Pair>& merge_rules) {
  return reader.read_array(reader.document(), "an array of merge rules", [&](ondemand::value& rule) {
    TokenId ids[2] = {};
    std::size_t count = 0;
    const auto wrong_length = [&](const char* location, std::string_view found) {
      return reader.fail(location, "expected a merge rule of 2 token ids, found " + std::string(found));
    };
    const bool read = reader.read_array(rule, "a merge rule (an array of 2 token ids)", [&](ondemand::value& id_value) {
      if (count == 2) return wrong_length(reader.location_of(id_value), "more");
      std::uint64_t id = 0;
      if (!reader.read_unsigned(id_value, kMaxTokenId, id)) return false;
      ids[count++] = static_cast<TokenId>(id);
      return true;
    });
    if (!read) return false;
    if (count < 2) return wrong_length(reader.closing_location(), std::to_string(count));
    merge_rules.push_back(Pair{ids[0], ids[1]});
    return true;
  });
}

// save_ranks.json and pairs_to_merge.json: pair keys to numbers. A malformed key is reported
// only once the rest of the file has proved readable.
template <typename Value>
bool read_pair_map(JsonFileReader& reader, std::uint64_t max, PairMap<Value>& map) {
  return reader.read_object(reader.document(), "an object of pair keys",
                            [&](std::string_view key, const char* key_location, ondemand::value& value) {
                              std::uint64_t number = 0;
                              if (!reader.read_unsigned(value, max, number)) return false;
                              auto pair = parse_pair_key(key);
                              if (!pair) {
                                reader.defer_fault(key_location, "invalid pair key `" + std::string(key) + "`");
                                return true;
                              }
                              map.insert_or_assign(pair_key(*pair), static_cast<Value>(number));  // a later key wins
                              return true;
                            });
}

}  // namespace

Result<std::unique_ptr<BpeTokenizer>> load_model_directory(std::string_view files_path) {
  const std::string directory(files_path);
  bool is_directory = false;
  if (!exists(directory, &is_directory) || !is_directory) {
    return TokenizerError(ErrorKind::ModelDirInvalid,
                          directory + " directory does not exists or the path provided is not a directory");
  }
  for (const std::string_view name : {model_files::kConfig, model_files::kMergeRules, model_files::kPairsToMerge,
                                      model_files::kRanks, model_files::kTokenTable}) {
    if (!exists(model_files::path_in(directory, name))) {
      return TokenizerError(ErrorKind::ModelFileMissing, std::string(name) + " does not exist in the directory provided");
    }
  }

  Config config;
  Status status = read_model_file(directory, model_files::kConfig,
                                  [&](JsonFileReader& reader) { return read_config(reader, config); });
  if (!status) return status.error();

  TokenizerSettings settings;
  settings.target_vocab_size = config.target_vocab_size;
  settings.pre_tokenization = config.pre_tokenization;
  settings.special_tokens = std::move(config.special_tokens);
  settings.special_token_removal_method = config.special_token_removal_method;
  settings.merge_all_occurrences = config.merge_all_occurrences;
  auto tokenizer = std::make_unique<BpeTokenizer>(std::move(settings));

  status = read_model_file(directory, model_files::kTokenTable,
                           [&](JsonFileReader& reader) { return read_token_table(reader, tokenizer->token_table); });
  if (!status) return status.error();
  status = read_model_file(directory, model_files::kMergeRules,
                           [&](JsonFileReader& reader) { return read_merge_rules(reader, tokenizer->merge_rules); });
  if (!status) return status.error();
  // A saved model has one entry per distinct merge in each pair map.
  tokenizer->ranks.reserve(tokenizer->merge_rules.size());
  tokenizer->pairs_to_merge.reserve(tokenizer->merge_rules.size());
  status = read_model_file(directory, model_files::kRanks,
                           [&](JsonFileReader& reader) { return read_pair_map(reader, kMaxU64, tokenizer->ranks); });
  if (!status) return status.error();
  status = read_model_file(directory, model_files::kPairsToMerge, [&](JsonFileReader& reader) {
    return read_pair_map(reader, kMaxTokenId, tokenizer->pairs_to_merge);
  });
  if (!status) return status.error();

  tokenizer->is_trained = true;
  return tokenizer;
}

}  // namespace wrenmark
