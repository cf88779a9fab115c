#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

namespace wrenmark {

// The word cache's table: where each record starts, found by its word's hash. A slot is one
// 32-bit number, the record's position plus one in the low bits and the top bits of the hash
// above them (0 for an empty slot), and collisions go to the next slots. So a lookup reads one
// array, usually one cache line of it, and reads a record only when its hash bits match: an
// index of 39,000 words is 256 KB. The caller computes the hash once for every step (prefetch,
// lookup, insertion) and says how to compare a record with the word.
class RecordIndex {
 public:
  static constexpr unsigned kPositionBits = 22;
  static constexpr std::uint32_t kMaxPosition = (std::uint32_t{1} << kPositionBits) - 2;

  std::size_t size() const { return size_; }

  // The position of the record that `is_word(position)` accepts among those of `hash`.
  template <typename IsWord>
  std::optional<std::uint32_t> find(std::uint64_t hash, IsWord&& is_word) const {
    if (size_ == 0) return std::nullopt;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
      const std::uint32_t slot = slots_[index];
      if (slot == 0) return std::nullopt;
      if ((slot >> kPositionBits) == tag && is_word(position_of(slot))) return position_of(slot);
    }
  }

  // The position of the first record whose hash bits match, if any: the record a lookup of
  // `hash` most likely reads, for a prefetch ahead of it.
  std::optional<std::uint32_t> first_candidate(std::uint64_t hash) const {
    if (size_ == 0) return std::nullopt;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
      const std::uint32_t slot = slots_[index];
      if (slot == 0) return std::nullopt;
      if ((slot >> kPositionBits) == tag) return position_of(slot);
    }
  }

  void prefetch(std::uint64_t hash) const {
    if (slots_) __builtin_prefetch(&slots_[hash & mask_]);
  }

  // Adds the record at `position` (at most kMaxPosition) whose word hashes to `hash` and is not
  // in the index yet. Growing rehashes every record, so it takes their hashes by position.
  template <typename HashAt>
  void insert(std::uint64_t hash, std::uint32_t position, HashAt&& hash_at) {
    if ((size_ + 1) * 4 > capacity() * 3) grow(std::max<std::size_t>(kMinCapacity, capacity() * 2), hash_at);
    place(hash, position);
    ++size_;
  }

  // Room for `count` records without growing.
  template <typename HashAt>
  void reserve(std::size_t count, HashAt&& hash_at) {
    const std::size_t needed = std::bit_ceil((count * 4 + 2) / 3);
    if (needed > capacity()) grow(needed, hash_at);
  }

  // Forgets every record and keeps the memory.
  void clear() {
    if (size_ != 0) std::memset(slots_.get(), 0, capacity() * sizeof(std::uint32_t));
    size_ = 0;
  }

 private:
  static constexpr std::size_t kMinCapacity = 1024;

  std::size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> (64 - kTagBits)); }
  static std::uint32_t position_of(std::uint32_t slot) { return (slot & kPositionMask) - 1; }

  void place(std::uint64_t hash, std::uint32_t position) {
    std::size_t index = hash & mask_;
    while (slots_[index] != 0) index = (index + 1) & mask_;
    slots_[index] = tag_of(hash) << kPositionBits | (position + 1);
  }

  // The old slots are read back for their positions; their hashes come from the records.
  template <typename HashAt>
  void grow(std::size_t capacity, HashAt&& hash_at) {
    auto slots = std::make_unique<std::uint32_t[]>(capacity);
    std::unique_ptr<std::uint32_t[]> old = std::move(slots_);
    const std::size_t old_capacity = old ? mask_ + 1 : 0;
    slots_ = std::move(slots);
    mask_ = capacity - 1;
    for (std::size_t index = 0; index < old_capacity; ++index) {
      if (old[index] != 0) place(hash_at(position_of(old[index])), position_of(old[index]));
    }
  }

  static constexpr unsigned kTagBits = 32 - kPositionBits;
  static constexpr std::uint32_t kPositionMask = (std::uint32_t{1} << kPositionBits) - 1;

  std::unique_ptr<std::uint32_t[]> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace wrenmark
