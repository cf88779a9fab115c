#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wrenmark {

// The pieces of the byte formats that cross process and machine boundaries (the word-count
// table, the tokenizer state): little-endian fixed-size integers, unsigned LEB128 varints and a
// checksum, read back by a reader that never goes past its bytes.

// A fixed-seed hash, the same in every process, unlike the word hasher.
std::uint64_t checksum(std::string_view bytes);

inline void put_fixed(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t index = 0; index < bytes; ++index) out.push_back(static_cast<char>(value >> (8 * index)));
}

inline void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// A record is framed by its magic at the start and the checksum of everything before it at the
// end, as `append_checksum` writes it.
inline constexpr std::size_t kChecksumBytes = 8;

inline void append_checksum(std::string& out) { put_fixed(out, checksum(out), kChecksumBytes); }

enum class FrameCheck : std::uint8_t { Valid, WrongMagic, ChecksumMismatch };

// Checks the frame of `bytes`, which must hold at least `minimum_contents` bytes between magic
// and checksum; when valid, `contents` is set to those bytes.
FrameCheck check_frame(std::string_view bytes, std::string_view magic, std::size_t minimum_contents,
                       std::string_view& contents);

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}

  bool fixed(std::size_t size, std::uint64_t& value);
  bool varint(std::uint64_t& value);
  bool text(std::uint64_t size, std::string_view& value);
  bool at_end() const { return position_ == bytes_.size(); }
  std::size_t remaining() const { return bytes_.size() - position_; }

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

}  // namespace wrenmark
