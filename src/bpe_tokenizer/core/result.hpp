#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "bpe_tokenizer/core/tokenizer_error.hpp"

namespace wrenmark {

// The outcome of a core operation: a value or a TokenizerError. Core operations return these
// instead of throwing, so nothing but allocation failure ever unwinds towards the binding layer.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(TokenizerError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const TokenizerError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, TokenizerError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(TokenizerError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const TokenizerError& error() const { return *error_; }

 private:
  std::optional<TokenizerError> error_;
};

using Status = Result<void>;

}  // namespace wrenmark
