#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <hs/hs.h>

#include "training/special_token_removal.hpp"

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

struct Occurrence {
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
  std::vector<Occurrence>* collected;  // set when every occurrence is kept for sorting
  bool out_of_order = false;
};

int on_match(unsigned int id, unsigned long long, unsigned long long to, unsigned int, void* raw_context) {
  auto* context = static_cast<ScanContext*>(raw_context);
  const std::uint64_t length = (*context->lengths)[id];
  if (context->collected != nullptr) {
    context->collected->push_back({to, length});
    return 0;
  }
  if (!context->selector->add(to, length)) {
    context->out_of_order = true;
    return 1;  // stop; the scan is redone with sorting
  }
  return 0;
}

}  // namespace

Result<std::string> remove_tokens_in_one_pass(std::string_view text, const std::vector<std::string>& tokens) {
  if (tokens.empty()) return std::string(text);
  // An empty token matches at every position before anything longer can end, so every match is
  // empty and nothing is removed.
  if (std::any_of(tokens.begin(), tokens.end(), [](const std::string& token) { return token.empty(); })) {
    return std::string(text);
  }
  if (text.size() > std::numeric_limits<unsigned int>::max()) {
    return matcher_error("the corpus is larger than the matcher's 4 GiB block limit");
  }

  std::vector<const char*> patterns;
  std::vector<std::size_t> pattern_lengths;
  std::vector<unsigned int> flags(tokens.size(), 0);
  std::vector<unsigned int> ids;
  std::vector<std::uint64_t> lengths;
  for (std::size_t index = 0; index < tokens.size(); ++index) {
    patterns.push_back(tokens[index].data());
    pattern_lengths.push_back(tokens[index].size());
    ids.push_back(static_cast<unsigned int>(index));
    lengths.push_back(tokens[index].size());
  }

  hs_database_t* raw_database = nullptr;
  hs_compile_error_t* raw_error = nullptr;
  if (hs_compile_lit_multi(patterns.data(), flags.data(), ids.data(), pattern_lengths.data(),
                           static_cast<unsigned int>(patterns.size()), HS_MODE_BLOCK, nullptr, &raw_database,
                           &raw_error) != HS_SUCCESS) {
    CompileError error(raw_error);
    return matcher_error(error && error->message ? error->message : "unknown compile error");
  }
  Database database(raw_database);
  hs_scratch_t* raw_scratch = nullptr;
  if (hs_alloc_scratch(database.get(), &raw_scratch) != HS_SUCCESS) return matcher_error("cannot allocate scratch space");
  Scratch scratch(raw_scratch);

  {
    MatchSelector selector(text);
    ScanContext context{&selector, &lengths, nullptr};
    const hs_error_t status = hs_scan(database.get(), text.data(), static_cast<unsigned int>(text.size()), 0,
                                      scratch.get(), on_match, &context);
    if (status == HS_SUCCESS) return selector.finish();
    if (!context.out_of_order) return matcher_error("scan failed with code " + std::to_string(status));
  }

  std::vector<Occurrence> occurrences;
  MatchSelector selector(text);
  ScanContext context{&selector, &lengths, &occurrences};
  const hs_error_t status = hs_scan(database.get(), text.data(), static_cast<unsigned int>(text.size()), 0,
                                    scratch.get(), on_match, &context);
  if (status != HS_SUCCESS) return matcher_error("scan failed with code " + std::to_string(status));
  std::sort(occurrences.begin(), occurrences.end(),
            [](const Occurrence& left, const Occurrence& right) { return left.end < right.end; });
  for (const Occurrence& occurrence : occurrences) selector.add(occurrence.end, occurrence.length);
  return selector.finish();
}

}  // namespace wrenmark
