#include "bpe_tokenizer/core/tokenizer_error.hpp"

#include <cstring>
#include <string>

namespace wrenmark {

TokenizerError TokenizerError::invalid_state(std::string message) {
  return {ErrorKind::InvalidState, std::move(message)};
}

TokenizerError TokenizerError::internal_fault(std::string message) {
  return {ErrorKind::InternalFault, std::move(message)};
}

TokenizerError TokenizerError::limit_exceeded(std::string_view what) {
  return {ErrorKind::LimitExceeded, "Limit exceeded: " + std::string(what)};
}

TokenizerError TokenizerError::no_id_for_token(std::string_view token) {
  return {ErrorKind::IdNotFound, "the id for token " + std::string(token) + " does not exist"};
}

TokenizerError TokenizerError::no_token_for_id(std::uint64_t id) {
  return {ErrorKind::TokenNotFound, "the token for id " + std::to_string(id) + " does not exist"};
}

TokenizerError TokenizerError::token_not_in_encoding(std::string_view token) {
  return {ErrorKind::TokenNotFound, "the token " + std::string(token) + " does not exists"};
}

TokenizerError TokenizerError::file_error(const std::error_code& code) {
  return {ErrorKind::FileError, "File Error: " + os_error_text(code)};
}

TokenizerError TokenizerError::json_error(std::string description) {
  return {ErrorKind::JsonError, "Json serialization error " + description};
}

std::string os_error_text(int errno_value) {
  return std::string(std::strerror(errno_value)) + " (os error " + std::to_string(errno_value) + ")";
}

std::string os_error_text(const std::error_code& code) {
  if (code.category() == std::system_category() || code.category() == std::generic_category()) {
    return os_error_text(code.value());
  }
  return code.message();
}

}  // namespace wrenmark
