#include "bpe_tokenizer/text/utf8_replacement.hpp"

#include <cstddef>
#include <cstdint>

namespace wrenmark::utf8 {

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

struct Lead {
  std::size_t length;  // 0: never starts a character
  std::uint8_t second_low;
  std::uint8_t second_high;
};

// The well-formed sequences of the Unicode standard (table 3-7): the range of the second byte
// depends on the first, the later ones are 0x80..0xBF.
Lead lead_of(std::uint8_t byte) {
  if (byte < 0x80) return {1, 0, 0};
  if (byte < 0xC2) return {0, 0, 0};
  if (byte < 0xE0) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte < 0xF0) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte < 0xF4) return {4, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

void append_replacing_invalid(std::string& out, std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    const Lead lead = lead_of(static_cast<std::uint8_t>(bytes[position]));
    if (lead.length == 0) {
      out.append(kReplacementCharacter);
      ++position;
      continue;
    }
    std::size_t valid = 1;
    while (valid < lead.length && position + valid < bytes.size()) {
      const auto byte = static_cast<std::uint8_t>(bytes[position + valid]);
      const std::uint8_t low = valid == 1 ? lead.second_low : 0x80;
      const std::uint8_t high = valid == 1 ? lead.second_high : 0xBF;
      if (byte < low || byte > high) break;
      ++valid;
    }
    if (valid == lead.length) {
      out.append(bytes.substr(position, valid));
    } else {
      out.append(kReplacementCharacter);
    }
    position += valid;
  }
}

}  // namespace wrenmark::utf8
