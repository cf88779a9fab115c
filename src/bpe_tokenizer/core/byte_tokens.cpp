#include "bpe_tokenizer/core/byte_tokens.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

std::optional<std::uint8_t> hex_digit_value(char digit) {
  const std::size_t found = kHexDigits.find(digit);
  if (found == std::string_view::npos) return std::nullopt;
  return static_cast<std::uint8_t>(found);
}

}  // namespace

std::string byte_token_text(std::uint8_t byte) {
  std::string text = "<0x";
  text.push_back(kHexDigits[byte >> 4]);
  text.push_back(kHexDigits[byte & 0xF]);
  text.push_back('>');
  return text;
}

std::optional<std::uint8_t> byte_of_token_text(std::string_view token) {
  if (token.size() != kByteTokenText || !token.starts_with("<0x") || token.back() != '>') return std::nullopt;
  const auto high = hex_digit_value(token[3]);
  const auto low = hex_digit_value(token[4]);
  if (!high || !low) return std::nullopt;
  return static_cast<std::uint8_t>(*high << 4 | *low);
}

std::optional<std::string> byte_fallback_fault(const Config& config) {
  if (!config.byte_fallback) return std::nullopt;
  if (config.unknown_token) return "byte_fallback and unknown_token exclude each other";
  for (const std::string& token : config.special_tokens) {
    if (byte_of_token_text(token)) {
      return "the special token " + token + " is spelled like a byte token, which byte_fallback reserves";
    }
  }
  return std::nullopt;
}

}  // namespace wrenmark
