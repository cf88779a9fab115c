#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wrenmark {

// An allocator for the large arrays that training reads at random places (the words' symbols and
// records, the occurrence listing, the pairs' lists and maps). With 4 KiB pages nearly every such
// read also misses the address translation cache, which under a hypervisor costs as much as the
// memory access itself; arrays of several megabytes are therefore aligned to 2 MiB and offered to
// the kernel for transparent huge pages. Small arrays, and systems without the advice, get plain
// memory.
template <typename T>
struct HugePageAllocator {
  using value_type = T;

  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kThreshold = 2 * kHugePage;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT(google-explicit-constructor): rebinding

  T* allocate(std::size_t count) {
    if (count > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kThreshold) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    void* memory = std::aligned_alloc(kHugePage, rounded(bytes));
    if (memory == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: where the kernel has no huge pages to give, the memory stays as it is.
    ::madvise(memory, rounded(bytes), MADV_HUGEPAGE);
#endif
    return static_cast<T*>(memory);
  }

  void deallocate(T* memory, std::size_t count) noexcept {
    if (count * sizeof(T) < kThreshold) {
      ::operator delete(memory, std::align_val_t{alignof(T)});
    } else {
      std::free(memory);
    }
  }

  template <typename U>
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator<U>&) {
    return true;
  }

 private:
  static std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
};

template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace wrenmark
