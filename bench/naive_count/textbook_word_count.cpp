// The other reference for training rows: the loop of a textbook, where the stream splits the
// file on white space into a std::string per word and the map counts it by operator[].
// naive_word_count.cpp is the same count written with care for speed (chunked reads, no string
// for a word already seen); this one is what the shortest program does.
//
//     textbook_word_count FILE
//
// prints one JSON line in the format of naive_word_count.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "absl/container/flat_hash_map.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: textbook_word_count FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  absl::flat_hash_map<std::string, std::uint64_t> counts;
  std::uint64_t words = 0;
  std::string word;
  while (file >> word) {
    ++counts[word];
    ++words;
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  file.clear();
  file.seekg(0, std::ios::end);
  const auto bytes = static_cast<unsigned long long>(file.tellg());
  std::printf("{\"wall_ns\": %lld, \"bytes\": %llu, \"words\": %llu, \"distinct_words\": %zu}\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()), bytes,
              static_cast<unsigned long long>(words), counts.size());
  return 0;
}
