#include "bpe_tokenizer/training/counting/word_count_format.hpp"

#include <cstdint>
#include <cstring>

#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kMagic = "WMWC";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 4 + 4 + 8 + 8 + 8;
constexpr std::size_t kChecksumBytes = 8;

// A fixed-seed hash, the same in every process, unlike the word hasher.
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

void put_fixed(std::string& out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t index = 0; index < bytes; ++index) out.push_back(static_cast<char>(value >> (8 * index)));
}

void put_varint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool fixed(std::size_t size, std::uint64_t& value) {
    if (bytes_.size() - position_ < size) return false;
    value = 0;
    for (std::size_t index = 0; index < size; ++index) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_ + index])) << (8 * index);
    }
    position_ += size;
    return true;
  }
  bool varint(std::uint64_t& value) {
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
  bool text(std::uint64_t size, std::string_view& value) {
    if (bytes_.size() - position_ < size) return false;
    value = bytes_.substr(position_, size);
    position_ += size;
    return true;
  }
  bool at_end() const { return position_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

TokenizerError corrupt(std::string_view what) {
  return TokenizerError(ErrorKind::InvalidState, "invalid word-count table: " + std::string(what));
}

}  // namespace

std::string serialize_word_counts(const WordCountTable& table) {
  std::string out;
  out.reserve(kHeaderBytes + kChecksumBytes + table.total_word_bytes() + table.size() * 8);
  out.append(kMagic);
  put_fixed(out, kVersion, 4);
  put_fixed(out, table.size(), 8);
  put_fixed(out, table.removal_ns, 8);
  put_fixed(out, table.counting_ns, 8);
  // In the map's order: reading adds every word to a map again, so no order is worth a sort.
  table.for_each([&](const CountedWord& word) {
    put_varint(out, word.text.size());
    out.append(word.text);
    put_varint(out, word.stat.count);
    put_varint(out, word.stat.first.origin);
    put_varint(out, word.stat.first.offset);
  });
  put_fixed(out, checksum(out), 8);
  return out;
}

Result<WordCountTable> parse_word_counts(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes + kChecksumBytes || bytes.substr(0, kMagic.size()) != kMagic) {
    return corrupt("not a word-count table");
  }
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  Reader trailer(bytes.substr(body.size()));
  std::uint64_t stored_checksum = 0;
  if (!trailer.fixed(8, stored_checksum) || stored_checksum != checksum(body)) return corrupt("checksum mismatch");

  Reader reader(body.substr(kMagic.size()));
  std::uint64_t version = 0;
  std::uint64_t word_count = 0;
  WordCountTable table;
  if (!reader.fixed(4, version) || version != kVersion) return corrupt("unsupported version");
  if (!reader.fixed(8, word_count) || !reader.fixed(8, table.removal_ns) || !reader.fixed(8, table.counting_ns)) {
    return corrupt("truncated header");
  }
  // Every word takes at least five bytes, which bounds the count before anything is reserved.
  if (word_count > body.size() / 5) return corrupt("word count exceeds the table's size");
  for (std::uint64_t index = 0; index < word_count; ++index) {
    std::uint64_t size = 0;
    std::string_view text;
    WordStat stat;
    if (!reader.varint(size) || size == 0 || size > WordCountTable::kLongestWord || !reader.text(size, text) ||
        !reader.varint(stat.count) || stat.count == 0 || !reader.varint(stat.first.origin) ||
        !reader.varint(stat.first.offset)) {
      return corrupt("malformed word record");
    }
    if (!utf8::is_valid(text)) return corrupt("a word is not valid UTF-8");
    if (!table.add(text, stat.count, stat.first)) return corrupt("a count overflows");
  }
  if (!reader.at_end()) return corrupt("trailing bytes");
  return table;
}

}  // namespace wrenmark
