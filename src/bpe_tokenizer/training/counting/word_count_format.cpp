#include "bpe_tokenizer/training/counting/word_count_format.hpp"

#include <cstdint>

#include "bpe_tokenizer/core/byte_format.hpp"
#include "bpe_tokenizer/text/utf8.hpp"

namespace wrenmark {

namespace {

constexpr std::string_view kMagic = "WMWC";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 4 + 4 + 8 + 8 + 8;

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
  append_checksum(out);
  return out;
}

Result<WordCountTable> parse_word_counts(std::string_view bytes) {
  std::string_view contents;
  switch (check_frame(bytes, kMagic, kHeaderBytes - kMagic.size(), contents)) {
    case FrameCheck::WrongMagic: return corrupt("not a word-count table");
    case FrameCheck::ChecksumMismatch: return corrupt("checksum mismatch");
    case FrameCheck::Valid: break;
  }
  ByteReader reader(contents);
  std::uint64_t version = 0;
  std::uint64_t word_count = 0;
  WordCountTable table;
  if (!reader.fixed(4, version) || version != kVersion) return corrupt("unsupported version");
  if (!reader.fixed(8, word_count) || !reader.fixed(8, table.removal_ns) || !reader.fixed(8, table.counting_ns)) {
    return corrupt("truncated header");
  }
  // Every word takes at least five bytes, which bounds the count before anything is reserved.
  if (word_count > (kMagic.size() + contents.size()) / 5) return corrupt("word count exceeds the table's size");
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
