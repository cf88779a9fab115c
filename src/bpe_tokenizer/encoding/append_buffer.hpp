#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

#include "bpe_tokenizer/system/huge_page_allocator.hpp"

namespace wrenmark {

namespace detail {
template <std::size_t width>
void move_chunk(unsigned char* out, const unsigned char* in, std::size_t at) {
  unsigned char chunk[width];
  std::memcpy(chunk, in + at, width);
  std::memcpy(out + at, chunk, width);
}
}  // namespace detail

// Copies `size` bytes without a call for the short runs that encoding copies per word (a few ids,
// a word's text): the library's memcpy costs more in its call and dispatch than in the copy.
// Overlapping loads and stores cover every size with at most four moves up to 32 bytes.
inline void copy_bytes(void* destination, const void* source, std::size_t size) {
  auto* out = static_cast<unsigned char*>(destination);
  const auto* in = static_cast<const unsigned char*>(source);
  if (size > 32) {
    std::memcpy(out, in, size);
  } else if (size >= 16) {
    detail::move_chunk<16>(out, in, 0);
    detail::move_chunk<16>(out, in, size - 16);
  } else if (size >= 8) {
    detail::move_chunk<8>(out, in, 0);
    detail::move_chunk<8>(out, in, size - 8);
  } else if (size >= 4) {
    detail::move_chunk<4>(out, in, 0);
    detail::move_chunk<4>(out, in, size - 4);
  } else if (size > 0) {
    out[0] = in[0];
    out[size / 2] = in[size / 2];
    out[size - 1] = in[size - 1];
  }
}

// A growable array of trivially copyable values that appends a run at a time without
// initialising the room first: `extend(n)` gives n slots to write, growing geometrically.
// Arrays of several megabytes (a first long text's token ends, a full word cache's records) take
// transparent huge pages, so that writing them faults once per 2 MiB instead of once per 4 KiB.
template <typename Value>
class AppendBuffer {
  static_assert(std::is_trivially_copyable_v<Value>);

 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Value* data() const { return values_.get(); }
  Value& operator[](std::size_t index) { return values_[index]; }
  const Value& operator[](std::size_t index) const { return values_[index]; }
  std::span<const Value> view() const { return {values_.get(), size_}; }
  const Value* begin() const { return values_.get(); }
  const Value* end() const { return values_.get() + size_; }

  void clear() { size_ = 0; }
  // Room for at least `count` values in all, so that appending up to there copies nothing.
  // Rounded up to a power of two, the capacities that growing from empty passes through: a
  // buffer reserved by a low estimate ends no larger than one that grew to the same size.
  void reserve(std::size_t count) {
    if (capacity_ < count) grow(std::bit_ceil(count));
  }
  std::size_t capacity() const { return capacity_; }

  // How many more values fit without growing.
  std::size_t room() const { return capacity_ - size_; }
  // Room for `count` more values, at most room(), counted as appended.
  Value* extend_within(std::size_t count) {
    Value* slots = values_.get() + size_;
    size_ += count;
    return slots;
  }
  // Room for `count` more values after the current ones, counted as appended.
  Value* extend(std::size_t count) {
    if (capacity_ - size_ < count) grow(size_ + count);
    Value* slots = values_.get() + size_;
    size_ += count;
    return slots;
  }
  void push_back(Value value) { *extend(1) = value; }
  void append(std::span<const Value> values) { copy_bytes(extend(values.size()), values.data(), values.size_bytes()); }

 private:
  using Allocator = EncodingArrayAllocator<Value>;
  struct Release {
    void operator()(Value* values) const { Allocator().deallocate(values, capacity); }
    std::size_t capacity = 0;
  };

  void grow(std::size_t needed) {
    const std::size_t capacity = std::max({needed, capacity_ * 2, std::size_t{64}});
    std::unique_ptr<Value[], Release> values(Allocator().allocate(capacity), Release{capacity});
    if (size_ != 0) std::memcpy(values.get(), values_.get(), size_ * sizeof(Value));
    values_ = std::move(values);
    capacity_ = capacity;
  }

  std::unique_ptr<Value[], Release> values_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace wrenmark
