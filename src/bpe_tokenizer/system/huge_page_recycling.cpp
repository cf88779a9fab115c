#include "bpe_tokenizer/system/huge_page_recycling.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include <pthread.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wrenmark::huge_pages {

namespace {

struct Region {
  char* memory = nullptr;
  std::size_t bytes = 0;
};

// A fixed table, so that giving back never allocates; a region that finds it full is returned.
constexpr std::size_t kMaxKept = 64;

struct Kept {
  std::mutex mutex;
  std::size_t scopes = 0;
  std::array<Region, kMaxKept> regions{};
  std::size_t count = 0;
};

Kept& kept() {
  static Kept instance;
  return instance;
}

#if defined(__linux__)

void* fresh(std::size_t bytes) {
  // Mapped with a huge page to spare, then trimmed to an aligned start.
  const std::size_t mapped = bytes + kHugePageBytes;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* start = static_cast<char*>(raw);
  const std::size_t past_boundary = reinterpret_cast<std::uintptr_t>(start) % kHugePageBytes;
  char* aligned = past_boundary == 0 ? start : start + (kHugePageBytes - past_boundary);
  if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
  char* end = aligned + bytes;
  if (end != start + mapped) ::munmap(end, static_cast<std::size_t>(start + mapped - end));
#if defined(MADV_HUGEPAGE)
  // Only advice: where the kernel has no huge pages to give, the memory stays as it is.
  ::madvise(aligned, bytes, MADV_HUGEPAGE);
#endif
  return aligned;
}

void release(Region region) noexcept { ::munmap(region.memory, region.bytes); }

#else

void* fresh(std::size_t bytes) {
  void* memory = std::aligned_alloc(kHugePageBytes, bytes);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void release(Region region) noexcept { std::free(region.memory); }

#endif

void release_all(Kept& state) noexcept {
  for (std::size_t index = 0; index < state.count; ++index) release(state.regions[index]);
  state.count = 0;
}

// A fork while another thread holds the lock would leave the child's copy locked for good, and
// the child's first large allocation would hang. The forking thread takes the lock around the
// fork instead. The child has none of the parent's trainings, so it keeps nothing.
void lock_before_fork() noexcept { kept().mutex.lock(); }

void unlock_in_parent() noexcept { kept().mutex.unlock(); }

void reset_in_child() noexcept {
  Kept& state = kept();
  state.scopes = 0;
  release_all(state);
  state.mutex.unlock();
}

[[maybe_unused]] const bool fork_handlers_registered = []() noexcept {
  ::pthread_atfork(lock_before_fork, unlock_in_parent, reset_in_child);
  return true;
}();

}  // namespace

void* take(std::size_t bytes) {
  Kept& state = kept();
  {
    const std::lock_guard lock(state.mutex);
    std::size_t best = state.count;
    for (std::size_t index = 0; index < state.count; ++index) {
      const std::size_t size = state.regions[index].bytes;
      if (size >= bytes && (best == state.count || size < state.regions[best].bytes)) best = index;
    }
    if (best != state.count) {
      Region& region = state.regions[best];
      char* memory = region.memory;
#if defined(__linux__)
      // The rest stays kept, for the next arrays: a huge page boundary, since sizes are whole
      // huge pages.
      if (region.bytes > bytes) {
        region = {memory + bytes, region.bytes - bytes};
        return memory;
      }
#endif
      region = state.regions[--state.count];
      return memory;
    }
    release_all(state);
  }
  return fresh(bytes);
}

void give_back(void* memory, std::size_t bytes) noexcept {
  Kept& state = kept();
  const std::lock_guard lock(state.mutex);
  const Region region{static_cast<char*>(memory), bytes};
  if (state.scopes == 0 || state.count == kMaxKept) {
    release(region);
    return;
  }
  state.regions[state.count++] = region;
}

Recycling::Recycling() {
  Kept& state = kept();
  const std::lock_guard lock(state.mutex);
  ++state.scopes;
}

Recycling::~Recycling() {
  Kept& state = kept();
  const std::lock_guard lock(state.mutex);
  if (--state.scopes == 0) release_all(state);
}

}  // namespace wrenmark::huge_pages
