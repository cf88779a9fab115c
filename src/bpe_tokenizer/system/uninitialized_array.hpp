#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "bpe_tokenizer/system/huge_page_allocator.hpp"

namespace wrenmark {

// An array of training memory (huge_page_allocator.hpp) whose elements start uninitialized, for
// arrays that are written whole before they are read: a vector would first write zeros over it,
// one more pass over memory that the kernel has just zeroed or that is about to be written anyway.
template <typename T>
class UninitializedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  UninitializedArray() = default;
  explicit UninitializedArray(std::size_t size)
      : data_(size == 0 ? nullptr : Allocator().allocate(size)), size_(data_ == nullptr ? 0 : size) {}
  UninitializedArray(UninitializedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  UninitializedArray& operator=(UninitializedArray&& other) noexcept {
    UninitializedArray moved(std::move(other));
    std::swap(data_, moved.data_);
    std::swap(size_, moved.size_);
    return *this;
  }
  ~UninitializedArray() {
    if (data_ != nullptr) Allocator().deallocate(data_, size_);
  }

  std::size_t size() const { return size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t index) { return data_[index]; }
  const T& operator[](std::size_t index) const { return data_[index]; }

 private:
  using Allocator = TrainingArrayAllocator<T>;

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace wrenmark
