#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <exception>

#include "bpe_tokenizer/system/thread_storage.hpp"
#include "tbb/blocked_range.h"
#include "tbb/parallel_for.h"
#include "tbb/parallel_sort.h"

namespace wrenmark {

// False in a forked child whose parent's pool was running at the fork (another thread was using
// or holding it): the pool's threads did not survive the fork and using it can hang, so parallel
// steps there run on the calling thread. Where the parent never used the pool, or its pool was
// idle and the fork shut it down, the child starts a pool of its own.
bool worker_pool_usable();

namespace worker_pool_detail {

// One call's use of the pool, from before it touches the pool to after it is done with it, for
// the fork handlers.
class PoolUse {
 public:
  PoolUse();
  ~PoolUse();
  PoolUse(const PoolUse&) = delete;
  PoolUse& operator=(const PoolUse&) = delete;
};

// Runs `body` over chunks of [0, count) on the pool. A chunk is run whole or not at all, and
// a failure of the pool itself (a worker thread that could not start, a task that could not be
// allocated) leaves the chunks it did not reach to the calling thread; an exception of the body
// is rethrown as it is.
template <typename Body>
void run_in_chunks(std::size_t count, std::size_t grain, Body& body) {
  // Chunk bookkeeping on the stack: a few more chunks than threads balance the load as well.
  static constexpr std::size_t kMaxChunks = 1024;
  const std::size_t chunk_count = std::clamp<std::size_t>(count / std::max<std::size_t>(grain, 1), 1, kMaxChunks);
  const auto chunk_start = [&](std::size_t chunk) { return chunk * count / chunk_count; };
  std::array<bool, kMaxChunks> done{};
  std::atomic_flag body_failed;
  std::exception_ptr body_failure;
  try {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, chunk_count, 1),
                      [&](const tbb::blocked_range<std::size_t>& chunks) {
                        ready_thread_local_storage();
                        try {
                          body(chunk_start(chunks.begin()), chunk_start(chunks.end()));
                        } catch (...) {
                          if (!body_failed.test_and_set()) body_failure = std::current_exception();
                          throw;
                        }
                        std::fill(done.begin() + chunks.begin(), done.begin() + chunks.end(), true);
                      });
  } catch (...) {
    if (body_failure) std::rethrow_exception(body_failure);
    // The pool failed between chunks: what is left runs here, in order.
    for (std::size_t chunk = 0; chunk < chunk_count; ++chunk) {
      if (!done[chunk]) body(chunk_start(chunk), chunk_start(chunk + 1));
    }
  }
}

}  // namespace worker_pool_detail

// Runs `body(begin, end)` over consecutive ranges covering [0, count), each of about `grain`
// elements or more, in parallel on the process-wide pool, or serially where the pool cannot be
// used or cannot start its threads. Every element is in exactly one range, whatever happens.
template <typename Body>
void parallel_ranges(std::size_t count, std::size_t grain, Body&& body) {
  if (count == 0) return;
  if (!worker_pool_usable()) {
    body(std::size_t{0}, count);
    return;
  }
  const worker_pool_detail::PoolUse use;
  worker_pool_detail::run_in_chunks(count, grain, body);
}

// Runs `body(range, begin, end)` for each of `ranges` consecutive ranges of about equal size
// covering [0, count), numbered from 0 in order, on the pool. Unlike parallel_ranges, where the
// ranges follow the scheduling, these are fixed by `count` and `ranges` alone, so results kept per
// range can be combined in range order afterwards.
template <typename Body>
void parallel_numbered_ranges(std::size_t count, std::size_t ranges, Body&& body) {
  parallel_ranges(ranges, 1, [&](std::size_t first, std::size_t end) {
    for (std::size_t range = first; range < end; ++range) {
      body(range, range * count / ranges, (range + 1) * count / ranges);
    }
  });
}

// Sorts [begin, end) by `less`, which must not throw, on the pool, or serially where the pool
// cannot be used or fails. With a strict total order the result is the same either way.
template <typename Iterator, typename Less>
void parallel_sort(Iterator begin, Iterator end, const Less& less) {
  if (!worker_pool_usable()) {
    std::sort(begin, end, less);
    return;
  }
  const worker_pool_detail::PoolUse use;
  try {
    tbb::parallel_sort(begin, end, less);
  } catch (...) {
    // The pool failed part way; the elements are still all there, in some order.
    std::sort(begin, end, less);
  }
}

}  // namespace wrenmark
