#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "bpe_tokenizer/system/huge_page_allocator.hpp"

namespace wrenmark {

// Two arrays of one length, of trivially copyable elements, in one allocation of training
// memory: freed, they are one region that a later array of their joint size can take whole
// (huge_page_recycling.hpp), where two regions would each be too small for it. The first array
// starts zeroed, the second uninitialized.
template <typename First, typename Second>
class TwinArrays {
  static_assert(std::is_trivially_copyable_v<First> && std::is_trivially_copyable_v<Second>);
  static_assert(sizeof(First) % alignof(Second) == 0, "the second array starts aligned after the first");

 public:
  TwinArrays() = default;
  explicit TwinArrays(std::size_t size) : memory_(Allocator().allocate(units(size))), size_(size) {
    std::uninitialized_value_construct_n(memory_, size);
  }
  TwinArrays(TwinArrays&& other) noexcept
      : memory_(std::exchange(other.memory_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  TwinArrays& operator=(TwinArrays&& other) noexcept {
    TwinArrays moved(std::move(other));
    std::swap(memory_, moved.memory_);
    std::swap(size_, moved.size_);
    return *this;
  }
  ~TwinArrays() {
    if (memory_ != nullptr) Allocator().deallocate(memory_, units(size_));
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  First* first() const { return memory_; }
  Second* second() const { return reinterpret_cast<Second*>(memory_ + size_); }

 private:
  using Allocator = TrainingArrayAllocator<First>;
  // Elements of First that hold both arrays.
  static std::size_t units(std::size_t size) {
    return size + (size * sizeof(Second) + sizeof(First) - 1) / sizeof(First);
  }

  First* memory_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace wrenmark
