#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include <hs/hs.h>

#include "bpe_tokenizer/training/special_token_removal.hpp"

namespace wrenmark {

namespace {

struct DatabaseDeleter {
  void operator()(hs_database_t* database) const { hs_free_database(database); }
};
struct ScratchDeleter {
  void operator()(hs_scratch_t* scratch) const { hs_free_scratch(scratch); }
};
struct CompileErrorDeleter {
  void operator()(hs_compile_error_t* error) const { hs_free_compile_error(error); }
};
using Database = std::unique_ptr<hs_database_t, DatabaseDeleter>;
using Scratch = std::unique_ptr<hs_scratch_t, ScratchDeleter>;
using CompileError = std::unique_ptr<hs_compile_error_t, CompileErrorDeleter>;

TokenizerError matcher_error(std::string_view message) {
  return TokenizerError(ErrorKind::MatcherBuildFailed,
                        "cannot build the special-token matcher: " + std::string(message));
}

struct TokenMatch {
  std::uint64_t end;
  std::uint64_t length;
};

// Chooses the matches that a standard non-overlapping scan takes: from the current position, the
// occurrence that ends first, the longest of those ending at the same place, then on from its end.
// Occurrences arrive grouped by end offset; the choice for one end is made once all of its
// occurrences are in. If the matcher ever reports an end offset out of order, the scan is redone
// with every occurrence collected and sorted.
class MatchSelector {
 public:
  explicit MatchSelector(std::string_view text) : text_(text) { output_.reserve(text.size()); }

  // Returns false when the occurrences came out of order.
  bool add(std::uint64_t end, std::uint64_t length) {
    if (has_group_ && end < group_end_) return false;
    if (!has_group_ || end != group_end_) {
      close_group();
      has_group_ = true;
      group_end_ = end;
      group_best_length_ = 0;
      group_has_candidate_ = false;
    }
    if (end - length >= scan_position_ && (!group_has_candidate_ || length > group_best_length_)) {
      group_best_length_ = length;
      group_has_candidate_ = true;
    }
    return true;
  }

  std::string finish() {
    close_group();
    output_.append(text_.substr(scan_position_));
    return std::move(output_);
  }

 private:
  void close_group() {
    if (!has_group_ || !group_has_candidate_) return;
    const std::uint64_t start = group_end_ - group_best_length_;
    output_.append(text_.substr(scan_position_, start - scan_position_));
    scan_position_ = group_end_;
    group_has_candidate_ = false;
  }

  std::string_view text_;
  std::string output_;
  std::uint64_t scan_position_ = 0;
  bool has_group_ = false;
  std::uint64_t group_end_ = 0;
  std::uint64_t group_best_length_ = 0;
  bool group_has_candidate_ = false;
};

struct ScanContext {
  MatchSelector* selector;
  const std::vector<std::uint64_t>* lengths;
  std::vector<TokenMatch>* collected;  // set when every occurrence is kept for sorting
  std::uint64_t window_offset = 0;     // where the scanned window starts in the text
  std::uint64_t reported_up_to = 0;    // occurrences ending here or before came from earlier windows
  bool out_of_order = false;
};

int on_match(unsigned int id, unsigned long long, unsigned long long to, unsigned int, void* raw_context) {
  auto* context = static_cast<ScanContext*>(raw_context);
  const std::uint64_t end = context->window_offset + to;
  if (end <= context->reported_up_to) return 0;
  const std::uint64_t length = (*context->lengths)[id];
  if (context->collected != nullptr) {
    context->collected->push_back({end, length});
    return 0;
  }
  if (!context->selector->add(end, length)) {
    context->out_of_order = true;
    return 1;  // stop; the scan is redone with sorting
  }
  return 0;
}

// Vectorscan 5.4.9 (as shipped by Debian 12) misses some matches that end within the last few
// dozen bytes of the buffer it scans, after a long run of bytes that no pattern starts with. A
// buffer with kScanPadding NUL bytes after the text has no such misses, and the padding matches
// nothing, since no pattern given to the matcher holds a NUL. The text is scanned in windows, each
// copied into a padded buffer; a window reports the occurrences that end inside it and starts
// early enough to see them whole, so none is lost or reported twice. Windows also keep every
// scan below the matcher's 4 GiB length limit.
constexpr std::size_t kScanPadding = 64;
constexpr std::size_t kWindowBytes = 1 << 20;

hs_error_t scan_in_windows(const hs_database_t* database, hs_scratch_t* scratch, std::string_view text,
                           std::size_t longest_pattern, ScanContext& context) {
  const std::size_t window = std::max(kWindowBytes, 4 * longest_pattern);
  std::string buffer;
  buffer.reserve(window + longest_pattern + kScanPadding);
  std::size_t window_end = 0;
  while (true) {
    const std::size_t window_start = window_end;
    window_end = std::min(text.size(), window_start + window);
    // Occurrences ending after window_start may start up to longest_pattern - 1 bytes before it.
    const std::size_t copy_start = window_start > longest_pattern ? window_start - longest_pattern : 0;
    buffer.assign(text.substr(copy_start, window_end - copy_start));
    buffer.append(kScanPadding, '\0');
    context.window_offset = copy_start;
    context.reported_up_to = window_start;
    const hs_error_t status = hs_scan(database, buffer.data(), static_cast<unsigned int>(buffer.size()), 0, scratch,
                                      on_match, &context);
    if (status != HS_SUCCESS || window_end == text.size()) return status;
  }
}

// Compiles the tokens, none of which holds a NUL byte, as literals. Pattern ids are positions in
// `tokens`.
Status compile_literals(const std::vector<std::string_view>& tokens, hs_database_t*& database) {
  std::vector<unsigned int> flags(tokens.size(), 0);
  std::vector<unsigned int> ids(tokens.size());
  std::vector<const char*> patterns;
  std::vector<std::size_t> lengths;
  for (std::size_t index = 0; index < tokens.size(); ++index) {
    ids[index] = static_cast<unsigned int>(index);
    patterns.push_back(tokens[index].data());
    lengths.push_back(tokens[index].size());
  }
  hs_compile_error_t* raw_error = nullptr;
  const hs_error_t status =
      hs_compile_lit_multi(patterns.data(), flags.data(), ids.data(), lengths.data(),
                           static_cast<unsigned int>(tokens.size()), HS_MODE_BLOCK, nullptr, &database, &raw_error);
  if (status == HS_SUCCESS) return {};
  CompileError error(raw_error);
  return matcher_error(error && error->message ? error->message : "unknown compile error");
}

// Every occurrence of `token` in `text`, overlapping ones included.
void collect_occurrences(std::string_view text, std::string_view token, std::vector<TokenMatch>& occurrences) {
  for (std::size_t found = text.find(token); found != std::string_view::npos; found = text.find(token, found + 1)) {
    occurrences.push_back({found + token.size(), token.size()});
  }
}

}  // namespace

Result<std::string> remove_tokens_aho_corasick(std::string_view text, const std::vector<std::string>& tokens) {
  if (tokens.empty()) return std::string(text);
  // An empty token matches at every position before anything longer can end, so every match is
  // empty and nothing is removed.
  if (std::any_of(tokens.begin(), tokens.end(), [](const std::string& token) { return token.empty(); })) {
    return std::string(text);
  }

  // Vectorscan (5.4) misses occurrences of a pattern that holds a NUL byte when it matches several
  // patterns at once, and its literal API refuses one that starts with NUL; such tokens are
  // searched for one by one instead, and their occurrences sorted in with the matcher's.
  std::vector<std::string_view> literals;
  std::vector<std::string_view> with_nul;
  for (const std::string& token : tokens) {
    (token.find('\0') == std::string::npos ? literals : with_nul).push_back(token);
  }
  std::vector<std::uint64_t> lengths;
  for (const std::string_view token : literals) lengths.push_back(token.size());
  const std::size_t longest = lengths.empty() ? 0 : *std::max_element(lengths.begin(), lengths.end());

  Database database;
  Scratch scratch;
  if (!literals.empty()) {
    hs_database_t* raw_database = nullptr;
    if (Status compiled = compile_literals(literals, raw_database); !compiled) return compiled.error();
    database.reset(raw_database);
    hs_scratch_t* raw_scratch = nullptr;
    if (hs_alloc_scratch(database.get(), &raw_scratch) != HS_SUCCESS) {
      return matcher_error("cannot allocate scratch space");
    }
    scratch.reset(raw_scratch);
  }

  if (with_nul.empty()) {
    MatchSelector selector(text);
    ScanContext context{&selector, &lengths, nullptr};
    const hs_error_t status = scan_in_windows(database.get(), scratch.get(), text, longest, context);
    if (status == HS_SUCCESS) return selector.finish();
    if (!context.out_of_order) return matcher_error("scan failed with code " + std::to_string(status));
  }

  // Every occurrence collected, then taken in order of end offset.
  std::vector<TokenMatch> occurrences;
  MatchSelector selector(text);
  if (database) {
    ScanContext context{&selector, &lengths, &occurrences};
    const hs_error_t status = scan_in_windows(database.get(), scratch.get(), text, longest, context);
    if (status != HS_SUCCESS) return matcher_error("scan failed with code " + std::to_string(status));
  }
  for (const std::string_view token : with_nul) collect_occurrences(text, token, occurrences);
  std::sort(occurrences.begin(), occurrences.end(),
            [](const TokenMatch& left, const TokenMatch& right) { return left.end < right.end; });
  for (const TokenMatch& occurrence : occurrences) selector.add(occurrence.end, occurrence.length);
  return selector.finish();
}

}  // namespace wrenmark
