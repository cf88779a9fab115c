#pragma once

#include <cstddef>

#include <algorithm>

#include "tbb/blocked_range.h"
#include "tbb/parallel_for.h"
#include "tbb/parallel_sort.h"

namespace wrenmark {

// True in every forked child, whether or not the parent had used the pool: the fork handler
// cannot tell, and a pool whose threads did not survive the fork can hang, so parallel steps in a
// child run on the calling thread instead.
bool worker_pool_unusable();

// Runs `body(begin, end)` over [0, count) in parallel on the process-wide pool, or serially where
// the pool cannot be used.
template <typename Body>
void parallel_ranges(std::size_t count, std::size_t grain, Body&& body) {
  if (count == 0) return;
  if (worker_pool_unusable()) {
    body(std::size_t{0}, count);
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, grain),
                    [&](const tbb::blocked_range<std::size_t>& range) { body(range.begin(), range.end()); });
}

// Sorts [begin, end) by `less` on the pool, or serially where the pool cannot be used. With a
// strict total order the result is the same either way.
template <typename Iterator, typename Less>
void parallel_sort(Iterator begin, Iterator end, const Less& less) {
  if (worker_pool_unusable()) {
    std::sort(begin, end, less);
    return;
  }
  tbb::parallel_sort(begin, end, less);
}

}  // namespace wrenmark
