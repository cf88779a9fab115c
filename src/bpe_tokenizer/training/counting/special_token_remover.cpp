#include "bpe_tokenizer/training/counting/special_token_remover.hpp"

#include <hs/hs.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace wrenmark {

namespace {

// The longest pattern the matcher compiles.
constexpr std::size_t kMatcherMaxPatternBytes = 16000;

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
// occurrences are in.
class MatchSelector {
 public:
  MatchSelector(std::string_view text, std::string& output) : text_(text), output_(output) {
    output_.clear();
    output_.reserve(text.size());
  }

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

  void finish() {
    close_group();
    output_.append(text_.substr(scan_position_));
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
  std::string& output_;
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
                           std::size_t longest_pattern, std::string& buffer, ScanContext& context) {
  const std::size_t window = std::max(kWindowBytes, 4 * longest_pattern);
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
    const hs_error_t status =
        hs_scan(database, buffer.data(), static_cast<unsigned int>(buffer.size()), 0, scratch, on_match, &context);
    if (status != HS_SUCCESS || window_end == text.size()) return status;
  }
}

// Every occurrence of `token` in `text`, overlapping ones included.
void collect_occurrences(std::string_view text, std::string_view token, std::vector<TokenMatch>& occurrences) {
  for (std::size_t found = text.find(token); found != std::string_view::npos; found = text.find(token, found + 1)) {
    occurrences.push_back({found + token.size(), token.size()});
  }
}

// One Simple pass: `token` deleted from `text` left to right; false when it does not occur, and
// then `output` is left alone.
bool delete_occurrences(std::string_view text, std::string_view token, std::string& output) {
  const void* found = ::memmem(text.data(), text.size(), token.data(), token.size());
  if (found == nullptr) return false;
  output.clear();
  output.reserve(text.size());
  std::size_t position = 0;
  while (found != nullptr) {
    const auto match = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    output.append(text.data() + position, match - position);
    position = match + token.size();
    found = ::memmem(text.data() + position, text.size() - position, token.data(), token.size());
  }
  output.append(text.data() + position, text.size() - position);
  return true;
}

}  // namespace

struct SpecialTokenRemover::Matcher {
  ~Matcher() {
    if (scratch_prototype != nullptr) hs_free_scratch(scratch_prototype);
    if (database != nullptr) hs_free_database(database);
  }
  hs_database_t* database = nullptr;
  hs_scratch_t* scratch_prototype = nullptr;
  std::vector<std::uint64_t> lengths;            // of the literals, by pattern id
  std::vector<std::string_view> searched_alone;  // searched one by one (see create)
  std::size_t longest = 0;
};

struct SpecialTokenRemover::Scratch {
  ~Scratch() {
    if (matcher_scratch != nullptr) hs_free_scratch(matcher_scratch);
  }
  hs_scratch_t* matcher_scratch = nullptr;
  std::string outputs[2];
  std::string window;
  std::vector<TokenMatch> occurrences;
};

SpecialTokenRemover::~SpecialTokenRemover() = default;

Result<std::shared_ptr<const SpecialTokenRemover>> SpecialTokenRemover::create(const std::vector<std::string>& tokens,
                                                                               SpecialTokenRemovalMethod method) {
  std::shared_ptr<SpecialTokenRemover> remover(new SpecialTokenRemover());
  remover->method_ = method;
  if (method == SpecialTokenRemovalMethod::Simple) {
    for (const std::string& token : tokens) {
      if (!token.empty()) remover->effective_.push_back(token);
    }
    return std::shared_ptr<const SpecialTokenRemover>(std::move(remover));
  }
  if (std::any_of(tokens.begin(), tokens.end(), [](const std::string& token) { return token.empty(); })) {
    return std::shared_ptr<const SpecialTokenRemover>(std::move(remover));
  }
  remover->effective_ = tokens;
  if (tokens.empty()) return std::shared_ptr<const SpecialTokenRemover>(std::move(remover));

  // Vectorscan (5.4) misses occurrences of a pattern that holds a NUL byte when it matches several
  // patterns at once, its literal API refuses one that starts with NUL, and it takes no pattern
  // longer than its limit; such tokens are searched for one by one instead, and their
  // occurrences sorted in with the matcher's.
  auto matcher = std::make_unique<Matcher>();
  std::vector<const char*> patterns;
  std::vector<std::size_t> pattern_lengths;
  for (const std::string& token : remover->effective_) {
    if (token.size() > kMatcherMaxPatternBytes || token.find('\0') != std::string::npos) {
      matcher->searched_alone.push_back(token);
      continue;
    }
    patterns.push_back(token.data());
    pattern_lengths.push_back(token.size());
    matcher->lengths.push_back(token.size());
    matcher->longest = std::max(matcher->longest, token.size());
  }
  if (!patterns.empty()) {
    std::vector<unsigned int> flags(patterns.size(), 0);
    std::vector<unsigned int> ids(patterns.size());
    for (std::size_t index = 0; index < ids.size(); ++index) ids[index] = static_cast<unsigned int>(index);
    hs_compile_error_t* error = nullptr;
    const hs_error_t status = hs_compile_lit_multi(patterns.data(), flags.data(), ids.data(), pattern_lengths.data(),
                                                   static_cast<unsigned int>(patterns.size()), HS_MODE_BLOCK, nullptr,
                                                   &matcher->database, &error);
    if (status != HS_SUCCESS) {
      const std::string message =
          error != nullptr && error->message != nullptr ? error->message : "unknown compile error";
      hs_free_compile_error(error);
      return matcher_error(message);
    }
    if (hs_alloc_scratch(matcher->database, &matcher->scratch_prototype) != HS_SUCCESS) {
      return matcher_error("cannot allocate scratch space");
    }
  }
  remover->matcher_ = std::move(matcher);
  return std::shared_ptr<const SpecialTokenRemover>(std::move(remover));
}

std::unique_ptr<SpecialTokenRemover::Scratch, void (*)(SpecialTokenRemover::Scratch*)>
SpecialTokenRemover::make_scratch() const {
  std::unique_ptr<Scratch, void (*)(Scratch*)> scratch(new Scratch(), [](Scratch* value) { delete value; });
  if (matcher_ && matcher_->scratch_prototype != nullptr) {
    if (hs_clone_scratch(matcher_->scratch_prototype, &scratch->matcher_scratch) != HS_SUCCESS) throw std::bad_alloc();
  }
  return scratch;
}

Result<std::string_view> SpecialTokenRemover::remove(std::string_view text, Scratch& scratch) const {
  if (effective_.empty() || text.empty()) return text;
  if (method_ == SpecialTokenRemovalMethod::Simple) {
    std::string_view working = text;
    int next = 0;
    for (const std::string& token : effective_) {
      if (delete_occurrences(working, token, scratch.outputs[next])) {
        working = scratch.outputs[next];
        next ^= 1;
      }
    }
    return working;
  }

  std::string& output = scratch.outputs[0];
  if (matcher_->searched_alone.empty()) {
    MatchSelector selector(text, output);
    ScanContext context{&selector, &matcher_->lengths, nullptr};
    const hs_error_t status =
        scan_in_windows(matcher_->database, scratch.matcher_scratch, text, matcher_->longest, scratch.window, context);
    if (status == HS_SUCCESS) {
      selector.finish();
      return std::string_view(output);
    }
    if (!context.out_of_order) return matcher_error("scan failed with code " + std::to_string(status));
  }

  // Every occurrence collected, then taken in order of end offset.
  std::vector<TokenMatch>& occurrences = scratch.occurrences;
  occurrences.clear();
  MatchSelector selector(text, output);
  if (matcher_->database != nullptr) {
    ScanContext context{&selector, &matcher_->lengths, &occurrences};
    const hs_error_t status =
        scan_in_windows(matcher_->database, scratch.matcher_scratch, text, matcher_->longest, scratch.window, context);
    if (status != HS_SUCCESS) return matcher_error("scan failed with code " + std::to_string(status));
  }
  for (const std::string_view token : matcher_->searched_alone) collect_occurrences(text, token, occurrences);
  std::stable_sort(occurrences.begin(), occurrences.end(),
                   [](const TokenMatch& left, const TokenMatch& right) { return left.end < right.end; });
  for (const TokenMatch& occurrence : occurrences) selector.add(occurrence.end, occurrence.length);
  selector.finish();
  return std::string_view(output);
}

}  // namespace wrenmark
