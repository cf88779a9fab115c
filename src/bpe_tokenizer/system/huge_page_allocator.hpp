#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "bpe_tokenizer/system/huge_page_recycling.hpp"

namespace wrenmark {

// An allocator for the large arrays that training reads at random places (the words' symbols and
// records, the occurrence listing, the pairs' lists and maps). With 4 KiB pages nearly every such
// read also misses the address translation cache, which under a hypervisor costs as much as the
// memory access itself; arrays of several megabytes are therefore aligned to 2 MiB and offered to
// the kernel for transparent huge pages. Small arrays, and systems without the advice, get plain
// memory. Training's arrays are `recycled` (huge_page_recycling.hpp): while training runs, the
// memory of one it freed goes to the next one it makes. `kThreshold`: the size from which an
// array goes on huge pages.
template <typename T, bool recycled, std::size_t kThreshold = 2 * huge_pages::kHugePageBytes>
struct BasicHugePageAllocator {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = BasicHugePageAllocator<U, recycled, kThreshold>;
  };

  static constexpr std::size_t kHugePage = huge_pages::kHugePageBytes;

  BasicHugePageAllocator() = default;
  template <typename U>
  BasicHugePageAllocator(const BasicHugePageAllocator<U, recycled, kThreshold>&) {
  }  // NOLINT(google-explicit-constructor)

  T* allocate(std::size_t count) {
    if (count > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kThreshold) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    // Mapped, not from the heap: the heap's allocator may carve aligned blocks out of its own
    // segment, which keeps their pages after they are freed.
    if constexpr (recycled) return static_cast<T*>(huge_pages::take(rounded(bytes)));
    return static_cast<T*>(huge_pages::map(rounded(bytes)));
  }

  void deallocate(T* memory, std::size_t count) noexcept {
    if (count * sizeof(T) < kThreshold) {
      ::operator delete(memory, std::align_val_t{alignof(T)});
    } else if constexpr (recycled) {
      huge_pages::give_back(memory, rounded(count * sizeof(T)));
    } else {
      huge_pages::unmap(memory, rounded(count * sizeof(T)));
    }
  }

  template <typename U>
  friend bool operator==(const BasicHugePageAllocator&, const BasicHugePageAllocator<U, recycled, kThreshold>&) {
    return true;
  }

 private:
  static std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
};

template <typename T>
using HugePageAllocator = BasicHugePageAllocator<T, false>;
template <typename T>
using TrainingArrayAllocator = BasicHugePageAllocator<T, true>;

// Training's arrays.
template <typename T>
using HugePageVector = std::vector<T, TrainingArrayAllocator<T>>;

// Encoding's arrays (the merge index, the word records, the buffers of a call and the blocks of
// its results) from 1 MiB on: the first encoding of a long text writes most of them once from
// end to end, and under a hypervisor the first touch of every 4 KiB page is a fault that costs
// several times the zeroing of its bytes, while a huge page is zeroed in one fault. Past half a
// huge page the rounding wastes less than the faults it saves.
template <typename T>
using EncodingArrayAllocator = BasicHugePageAllocator<T, false, huge_pages::kHugePageBytes / 2>;

}  // namespace wrenmark
