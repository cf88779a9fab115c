#include "bpe_tokenizer/training/counting/word_count_table.hpp"

#include <algorithm>

#include "bpe_tokenizer/system/worker_pool.hpp"

namespace wrenmark {

namespace {
constexpr std::size_t kChunkBytes = 1 << 20;
}

std::string_view WordCountTable::intern(std::string_view word) {
  if (word.size() > chunk_left_) {
    // A word longer than a chunk gets a chunk of its own; the current chunk stays in use.
    if (word.size() > kChunkBytes / 4) {
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(word.size()));
      std::memcpy(chunks_.back().get(), word.data(), word.size());
      return {chunks_.back().get(), word.size()};
    }
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(kChunkBytes));
    chunk_free_ = chunks_.back().get();
    chunk_left_ = kChunkBytes;
  }
  char* stored = chunk_free_;
  std::memcpy(stored, word.data(), word.size());
  chunk_free_ += word.size();
  chunk_left_ -= word.size();
  return {stored, word.size()};
}

bool WordCountTable::add(std::string_view word, std::uint64_t count, FirstOccurrence first) {
  const WordKey probe(word, hasher_(word));
  bool inserted = false;
  auto entry = insert_or_forget(map_, [&] {
    return map_.lazy_emplace(probe, [&](const auto& construct) {
      inserted = true;
      construct(stored_key(probe, word), WordStat{count, first});
    });
  });
  if (inserted) return true;
  WordStat& stat = entry->second;
  if (count > UINT64_MAX - stat.count) return false;
  stat.count += count;
  stat.first = std::min(stat.first, first);
  return true;
}

bool WordCountTable::merge_from(WordCountTable&& other) {
  if (map_.empty()) {
    // This table's blocks held no words, but their work time still counts.
    const std::uint64_t own_removal_ns = removal_ns;
    const std::uint64_t own_counting_ns = counting_ns;
    *this = std::move(other);
    removal_ns += own_removal_ns;
    counting_ns += own_counting_ns;
    other = WordCountTable();
    return true;
  }
  // No reserve for the sum of both sizes: the workers' tables of one corpus share most of their
  // words, and growing to the sum would allocate (and fault in) a table twice the size needed.
  for (const auto& [key, stat] : other.map_) {
    // Tables of one process share the hash seed, so keys move without rehashing, and their bytes
    // stay where they are: the chunks change hands.
    auto [entry, inserted] = insert_or_forget(map_, [&] { return map_.try_emplace(key, stat); });
    if (inserted) continue;
    if (stat.count > UINT64_MAX - entry->second.count) return false;
    entry->second.count += stat.count;
    entry->second.first = std::min(entry->second.first, stat.first);
  }
  for (auto& chunk : other.chunks_) chunks_.push_back(std::move(chunk));
  word_bytes_ += other.word_bytes_;
  removal_ns += other.removal_ns;
  counting_ns += other.counting_ns;
  other = WordCountTable();
  return true;
}

std::vector<CountedWord> WordCountTable::in_order_of_first_occurrence() const {
  std::vector<CountedWord> words;
  words.reserve(map_.size());
  for (const auto& [key, stat] : map_) words.push_back({key.text(), stat});
  parallel_sort(words.begin(), words.end(), [](const CountedWord& left, const CountedWord& right) {
    // Distinct words of one corpus never share a first occurrence; the text only
    // settles the order of tables that were put together wrongly.
    if (left.stat.first != right.stat.first) return left.stat.first < right.stat.first;
    return left.text < right.text;
  });
  return words;
}

}  // namespace wrenmark
