#pragma once

#include <cstddef>

namespace wrenmark::huge_pages {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// Memory for `bytes` (a multiple of kHugePageBytes), aligned to a huge page and offered to the
// kernel for transparent huge pages: a region given back earlier while recycling is on, cut to
// size, or else fresh from the system. Throws std::bad_alloc.
void* take(std::size_t bytes);

// Returns what take() gave. While recycling is on, the region is kept for the next take().
void give_back(void* memory, std::size_t bytes) noexcept;

// Memory for `bytes` (a multiple of kHugePageBytes) fresh from the system, aligned and offered
// for huge pages as take()'s, never recycled: for arrays outside training. Throws std::bad_alloc.
void* map(std::size_t bytes);
// Returns what map() gave to the system.
void unmap(void* memory, std::size_t bytes) noexcept;

// Recycling is on while one of these lives. Training frees its counting maps and then builds
// arrays of about their size; fresh memory costs a fault and the kernel's zeroing of every page,
// memory given back and taken again costs neither. Kept regions never stand beside fresh ones:
// a take() that none of them fits returns them all to the system first, and so does the end of
// the last scope, so the peak stays what it would be without recycling.
class Recycling {
 public:
  Recycling();
  ~Recycling();
  Recycling(const Recycling&) = delete;
  Recycling& operator=(const Recycling&) = delete;
};

}  // namespace wrenmark::huge_pages
