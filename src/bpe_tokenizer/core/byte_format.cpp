#include "bpe_tokenizer/core/byte_format.hpp"

#include <cstring>

namespace wrenmark {

std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ bytes.size();
  std::size_t position = 0;
  for (; position + 8 <= bytes.size(); position += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + position, 8);
    const unsigned __int128 product = static_cast<unsigned __int128>(state ^ word) * 0xA0761D6478BD642Full;
    state = static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes.data() + position, bytes.size() - position);
  const unsigned __int128 product =
      static_cast<unsigned __int128>(state ^ tail ^ 0xE7037ED1A0B428DBull) * 0xA0761D6478BD642Full;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

bool ByteReader::fixed(std::size_t size, std::uint64_t& value) {
  if (bytes_.size() - position_ < size) return false;
  value = 0;
  for (std::size_t index = 0; index < size; ++index) {
    value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_ + index])) << (8 * index);
  }
  position_ += size;
  return true;
}

bool ByteReader::varint(std::uint64_t& value) {
  value = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (position_ == bytes_.size()) return false;
    const auto byte = static_cast<unsigned char>(bytes_[position_++]);
    if (shift == 63 && byte > 1) return false;
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

bool ByteReader::text(std::uint64_t size, std::string_view& value) {
  if (bytes_.size() - position_ < size) return false;
  value = bytes_.substr(position_, size);
  position_ += size;
  return true;
}

FrameCheck check_frame(std::string_view bytes, std::string_view magic, std::size_t minimum_contents,
                       std::string_view& contents) {
  if (bytes.size() < magic.size() + minimum_contents + kChecksumBytes || !bytes.starts_with(magic)) {
    return FrameCheck::WrongMagic;
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  ByteReader trailer(bytes.substr(body.size()));
  std::uint64_t stored_checksum = 0;
  if (!trailer.fixed(kChecksumBytes, stored_checksum) || stored_checksum != checksum(body)) {
    return FrameCheck::ChecksumMismatch;
  }
  contents = body.substr(magic.size());
  return FrameCheck::Valid;
}

}  // namespace wrenmark
