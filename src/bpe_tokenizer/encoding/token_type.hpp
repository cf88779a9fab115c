#pragma once

#include <cstdint>

namespace wrenmark {

// What a token of an encoding is: a whole word (its text ends with "</w>" and its stem is a word
// of the same call), a piece of a word, or a special token. The values are those the binding
// exposes as TokenType.WORD, SUBWORD and SPECIALTOKEN.
enum class TokenType : std::uint8_t { Word = 0, Subword = 1, SpecialToken = 2 };

}  // namespace wrenmark
