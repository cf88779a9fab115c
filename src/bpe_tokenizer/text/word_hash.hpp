#pragma once

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

  std::uint64_t operator()(std::string_view word) const {
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
      high = read_tail(bytes + 8, size - 8);
    } else {
      low = read_tail(bytes, size);
    }
    return mix(low ^ kMultiplierB, high ^ state);
  }

 private:
  static constexpr std::uint64_t kMultiplierA = 0xa0761d6478bd642full;
  static constexpr std::uint64_t kMultiplierB = 0xe7037ed1a0b428dbull;

  static std::uint64_t read64(const unsigned char* bytes) {
    std::uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  static std::uint64_t read_tail(const unsigned char* bytes, std::size_t size) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes, size);
    return value;
  }
  static std::uint64_t mix(std::uint64_t left, std::uint64_t right) {
    const unsigned __int128 product = static_cast<unsigned __int128>(left) * right;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  std::uint64_t seed_;
};

}  // namespace wrenmark
