#pragma once

// The byte tokens of byte fallback: "<0x00>" ... "<0xFF>", upper-case hex as SentencePiece and HF
// tokenizers spell them. Training, encoding, decoding and the checks of the settings all read
// the spelling from here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark {

inline constexpr std::size_t kByteTokenCount = 256;
// The length of every byte token's text.
inline constexpr std::size_t kByteTokenText = 6;

// "<0xE8>" for 0xE8.
std::string byte_token_text(std::uint8_t byte);

// The byte that `token` spells, when it is spelled exactly like a byte token.
std::optional<std::uint8_t> byte_of_token_text(std::string_view token);

// Why these settings cannot train or encode with byte fallback, or nothing when they can (or
// byte fallback is off): it excludes an unknown token, and the special tokens may not take the
// byte tokens' spelling.
std::optional<std::string> byte_fallback_fault(const Config& config);

}  // namespace wrenmark
