#include "bpe_tokenizer/training/counting/word_count_table.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "bpe_tokenizer/system/worker_pool.hpp"

namespace wrenmark {

namespace {
constexpr std::size_t kChunkBytes = 1 << 20;
constexpr std::size_t kFirstCapacity = 1024;

std::uint64_t load(const char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}
}  // namespace

bool WordCountTable::same_long_word(const Key& left, const Key& right) {
  // Eight bytes at a time, the last load ending at the word's end (overlapping bytes already
  // compared), so that nothing is read outside either word and no call is made.
  const char* left_bytes = left.address();
  const char* right_bytes = right.address();
  const std::size_t size = left.size;
  for (std::size_t offset = 8; offset + 8 < size; offset += 8) {
    if (load(left_bytes + offset) != load(right_bytes + offset)) return false;
  }
  return load(left_bytes + size - 8) == load(right_bytes + size - 8);
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

std::size_t WordCountTable::find(const Key& key) const {
  std::size_t index = home_of(key);
  while (!slots()[index].empty() && !slots()[index].holds(key)) index = next(index);
  return index;
}

void WordCountTable::grow() {
  // At most seven eighths full: a hit takes about three probes of 32 bytes, mostly in one or two
  // cache lines.
  const std::size_t capacity = arrays_.empty() ? kFirstCapacity : 2 * arrays_.size();
  TwinArrays<Slot, FirstOccurrence> arrays(capacity);
  Slot* new_slots = arrays.first();
  FirstOccurrence* new_firsts = arrays.second();
  const int shift = 64 - std::countr_zero(capacity);
  const auto new_home = [&](std::size_t from) {
    return static_cast<std::size_t>(slots()[from].key.tag) >> (shift - 32);
  };
  // The new homes lie at random: each is fetched a few words ahead of its move.
  static constexpr std::size_t kAhead = 16;
  for (std::size_t from = 0; from < arrays_.size(); ++from) {
    if (const std::size_t ahead = from + kAhead; ahead < arrays_.size() && !slots()[ahead].empty()) {
      __builtin_prefetch(&new_slots[new_home(ahead)]);
      __builtin_prefetch(&new_firsts[new_home(ahead)]);
    }
    if (slots()[from].empty()) continue;
    std::size_t index = new_home(from);
    while (!new_slots[index].empty()) index = (index + 1) & (capacity - 1);
    new_slots[index] = slots()[from];
    new_firsts[index] = firsts()[from];
  }
  arrays_ = std::move(arrays);
  shift_ = shift;
}

void WordCountTable::insert_new(const Key& key, std::uint64_t count, FirstOccurrence first, std::size_t index) {
  if ((size_ + 1) * 8 > arrays_.size() * 7) {
    grow();
    index = find(key);
  }
  slots()[index].key = key;
  slots()[index].count = count;
  firsts()[index] = first;
  ++size_;
  word_bytes_ += key.size;
}

template <typename StoredKey>
bool WordCountTable::add_counted(const Key& key, std::uint64_t count, FirstOccurrence first, StoredKey&& stored_key) {
  const std::size_t index = find(key);
  Slot& slot = slots()[index];
  if (slot.empty()) {
    insert_new(stored_key(), count, first, index);
    return true;
  }
  if (count > UINT64_MAX - slot.count) return false;
  slot.count += count;
  firsts()[index] = std::min(firsts()[index], first);
  return true;
}

bool WordCountTable::add(std::string_view word, std::uint64_t count, FirstOccurrence first) {
  const Key key = Key::of<false>(word, hasher_(word));
  if (arrays_.empty()) grow();
  return add_counted(key, count, first, [&] { return stored(key, word); });
}

bool WordCountTable::merge_from(WordCountTable&& other) {
  if (size_ == 0) {
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
  bool overflow = false;
  // The words' homes here lie at random: a batch of them is fetched before the batch is added.
  static constexpr std::size_t kBatch = 32;
  std::array<std::size_t, kBatch> batch;
  std::size_t pending = 0;
  const auto add_batch = [&] {
    for (std::size_t index = 0; index < pending; ++index) {
      const Slot& moved = other.slots()[batch[index]];
      // Tables of one process share the hash seed, so keys move as they are, and the bytes of
      // long words stay where they are: the chunks change hands.
      if (!add_counted(moved.key, moved.count, other.firsts()[batch[index]], [&] { return moved.key; })) {
        overflow = true;
      }
    }
    pending = 0;
  };
  other.for_each_slot([&](std::size_t from) {
    const std::size_t home = home_of(other.slots()[from].key);
    __builtin_prefetch(&slots()[home]);
    __builtin_prefetch(&firsts()[home]);
    batch[pending++] = from;
    if (pending == kBatch) add_batch();
  });
  add_batch();
  if (overflow) return false;
  for (auto& chunk : other.chunks_) chunks_.push_back(std::move(chunk));
  removal_ns += other.removal_ns;
  counting_ns += other.counting_ns;
  other = WordCountTable();
  return true;
}

CountedWords WordCountTable::in_order_of_first_occurrence() const {
  // Ranges of slots side by side: each counts its words, then copies them to where the counts
  // before it say.
  static constexpr std::size_t kRanges = 64;
  std::array<std::size_t, kRanges + 1> range_words{};
  parallel_numbered_ranges(arrays_.size(), kRanges, [&](std::size_t range, std::size_t begin, std::size_t end) {
    std::size_t filled = 0;
    for (std::size_t index = begin; index < end; ++index) filled += !slots()[index].empty();
    range_words[range + 1] = filled;
  });
  for (std::size_t range = 0; range < kRanges; ++range) range_words[range + 1] += range_words[range];
  CountedWords words(range_words[kRanges]);
  parallel_numbered_ranges(arrays_.size(), kRanges, [&](std::size_t range, std::size_t begin, std::size_t end) {
    CountedWord* out = words.data() + range_words[range];
    for (std::size_t index = begin; index < end; ++index) {
      const Slot& slot = slots()[index];
      if (!slot.empty()) *out++ = CountedWord{slot.text(), WordStat{slot.count, firsts()[index]}};
    }
  });
  parallel_sort(words.begin(), words.end(), [](const CountedWord& left, const CountedWord& right) {
    // Distinct words of one corpus never share a first occurrence; the text only
    // settles the order of tables that were put together wrongly.
    if (left.stat.first != right.stat.first) return left.stat.first < right.stat.first;
    return left.text < right.text;
  });
  return words;
}

}  // namespace wrenmark
