#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace wrenmark::place_deltas {

// A pair's initial list of places kept as the gaps between them, seven bits to a byte with the
// top bit saying that more bytes follow: most pairs' places lie close together, and the gaps of
// all lists take about a byte and a half per place where the places themselves take four or eight.

inline std::size_t bytes(std::uint64_t gap) { return (static_cast<std::size_t>(std::bit_width(gap | 1)) + 6) / 7; }

inline std::uint8_t* write(std::uint8_t* out, std::uint64_t gap) {
  while (gap >= 0x80) {
    *out++ = static_cast<std::uint8_t>(gap | 0x80);
    gap >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(gap);
  return out;
}

inline std::uint64_t read(const std::uint8_t*& in) {
  std::uint64_t gap = 0;
  int shift = 0;
  std::uint8_t byte = 0;
  do {
    byte = *in++;
    gap |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  } while ((byte & 0x80) != 0);
  return gap;
}

}  // namespace wrenmark::place_deltas
