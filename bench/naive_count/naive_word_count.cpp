// The reference that the bench sets every training time beside: what a straightforward engineer
// writes to count the words of a file on one core. It reads the file in chunks of 16 MiB, splits
// on the six ASCII white-space bytes, and counts each word in an absl::flat_hash_map<std::string,
// uint64_t>; a word that is already there is looked up through a string_view (heterogeneous
// lookup), so only a new word allocates. A word cut by a chunk's end is carried to the next chunk.
//
//     naive_word_count FILE
//
// prints one JSON line: the wall time of the whole loop, the bytes read, the words and the
// distinct words.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/strings/string_view.h"

namespace {

bool is_white_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: naive_word_count FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  constexpr std::size_t kChunkBytes = 16 << 20;
  std::vector<char> chunk(kChunkBytes);
  std::string carried;  // the start of a word that the previous chunk cut
  absl::flat_hash_map<std::string, std::uint64_t> counts;
  std::uint64_t bytes = 0;
  std::uint64_t words = 0;

  auto count = [&](std::string_view word) {
    ++words;
    // Debian's Abseil has a string_view of its own, which is what the map's lookup takes.
    auto found = counts.find(absl::string_view(word.data(), word.size()));
    if (found != counts.end()) {
      ++found->second;
    } else {
      counts.emplace(std::string(word), 1);
    }
  };

  while (file) {
    file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    const std::size_t got = static_cast<std::size_t>(file.gcount());
    if (got == 0) break;
    bytes += got;
    const std::string_view text(chunk.data(), got);
    std::size_t position = 0;
    if (!carried.empty()) {
      while (position < text.size() && !is_white_space(text[position])) ++position;
      carried.append(text.substr(0, position));
      if (position == text.size()) continue;
      count(carried);
      carried.clear();
    }
    while (position < text.size()) {
      while (position < text.size() && is_white_space(text[position])) ++position;
      const std::size_t word_start = position;
      while (position < text.size() && !is_white_space(text[position])) ++position;
      if (position == word_start) break;
      if (position == text.size()) {
        carried.assign(text.substr(word_start));
      } else {
        count(text.substr(word_start, position - word_start));
      }
    }
  }
  if (!carried.empty()) count(carried);

  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("{\"wall_ns\": %lld, \"bytes\": %llu, \"words\": %llu, \"distinct_words\": %zu}\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()),
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(words), counts.size());
  return 0;
}
