#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace wrenmark {

// A fast 64-bit hash of a short byte string, seeded per process so that crafted input cannot aim
// many words at one bucket. Counting words is dominated by hashing and comparing them, and the
// standard string hash is several times slower on the short strings words are.
class WordHasher {
 public:
  WordHasher();

  std::uint64_t operator()(std::string_view word) const { return hash<false>(word); }

  // The same hash, for a word followed by at least eight bytes that may be read: the last bytes
  // are then loaded whole and masked instead of copied one size at a time.
  std::uint64_t hash_with_slack(std::string_view word) const { return hash<true>(word); }

  // The first `size` (at most 8) bytes at `bytes` as a little-endian number; with `slack`, the
  // eight bytes from `bytes` may all be read.
  template <bool slack>
  static std::uint64_t read_tail(const unsigned char* bytes, std::size_t size) {
    std::uint64_t value = 0;
    if constexpr (slack) {
      std::memcpy(&value, bytes, sizeof value);
      return size >= 8 ? value : value & ((std::uint64_t{1} << (8 * size)) - 1);
    } else {
      // An empty view may have no bytes at all, and memcpy from a null pointer is undefined even
      // for no bytes.
      if (size != 0) std::memcpy(&value, bytes, size);
      return value;
    }
  }

 private:
  template <bool slack>
  std::uint64_t hash(std::string_view word) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
    std::size_t size = word.size();
    std::uint64_t state = seed_ ^ (size * kMultiplierA);
    while (size > 16) {
      state = mix(read64(bytes) ^ kMultiplierA, read64(bytes + 8) ^ state);
      bytes += 16;
      size -= 16;
    }
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    if (size > 8) {
      low = read64(bytes);
      high = read_tail<slack>(bytes + 8, size - 8);
    } else {
      low = read_tail<slack>(bytes, size);
    }
    return mix(low ^ kMultiplierB, high ^ state);
  }

  static constexpr std::uint64_t kMultiplierA = 0xa0761d6478bd642full;
  static constexpr std::uint64_t kMultiplierB = 0xe7037ed1a0b428dbull;

  static std::uint64_t read64(const unsigned char* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  static std::uint64_t mix(std::uint64_t left, std::uint64_t right) {
    const unsigned __int128 product = static_cast<unsigned __int128>(left) * right;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  std::uint64_t seed_;
};

// The hasher of the library's absl tables keyed by std::string_view. Absl's own hash of such a
// key falls back to std::hash here (absl::string_view is a type of its own in this build), which
// is unseeded and costs several times this hash on the short strings that tokens and words are.
struct StringViewHash {
  std::size_t operator()(std::string_view text) const { return hasher(text); }
  WordHasher hasher;
};

}  // namespace wrenmark
