#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace wrenmark {

// Compatibility: callers match on the error texts word for word (docs/architecture.md).

// The kinds a core failure can have. The first eight are the failures a caller can act on;
// CorpusUnreadable and MatcherBuildFailed come from training's input, LimitExceeded from an
// input larger than the tokenizer can represent; InternalFault marks a broken invariant that the
// binding layer reports as a panic rather than an ordinary error, and Cancelled an operation
// that its StopRequest stopped (whoever asked for the stop reports why).
enum class ErrorKind : std::uint8_t {
  OutputDirMissing,
  FileError,
  JsonError,
  ModelFileMissing,
  ModelDirInvalid,
  InvalidState,
  IdNotFound,
  TokenNotFound,
  CorpusUnreadable,
  MatcherBuildFailed,
  LimitExceeded,
  InternalFault,
  Cancelled,
};

// A failure of a core operation. Its text is formatted once, when the error is made, and the
// error owns it.
class TokenizerError {
 public:
  TokenizerError(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }

  static TokenizerError invalid_state(std::string message);
  static TokenizerError internal_fault(std::string message);
  // "Limit exceeded: {what}", `what` saying which input is too large and what the limit is.
  static TokenizerError limit_exceeded(std::string_view what);
  static TokenizerError no_id_for_token(std::string_view token);
  static TokenizerError no_token_for_id(std::uint64_t id);
  static TokenizerError token_not_in_encoding(std::string_view token);
  static TokenizerError file_error(const std::error_code& code);
  static TokenizerError json_error(std::string_view description);
  static TokenizerError cancelled();

  // The same error with `prefix` before its text, for an element of a batch.
  TokenizerError prefixed(std::string_view prefix) const;

 private:
  ErrorKind kind_;
  std::string text_;
};

// "{description} (os error {code})" for an error reported by the operating system.
std::string os_error_text(const std::error_code& code);
std::string os_error_text(int errno_value);

}  // namespace wrenmark
