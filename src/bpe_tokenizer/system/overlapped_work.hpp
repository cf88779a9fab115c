#pragma once

#include <exception>

#include "bpe_tokenizer/system/thread_storage.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "tbb/task_group.h"

namespace wrenmark {

// Runs `background()` as a task of the worker pool while the calling thread runs `foreground()`,
// then helps with the pool's work until `background` is done, and returns what `foreground`
// returned. The calling thread keeps `foreground` so that what must happen on it (a read that a
// signal interrupts, a stop check) still does. Where the pool cannot be used or cannot take the
// task, `background` runs first on the calling thread. An exception of either is rethrown once
// both are done, the foreground's first.
template <typename Background, typename Foreground>
auto run_overlapped(Background&& background, Foreground&& foreground) {
  if (!worker_pool_usable()) {
    background();
    return foreground();
  }
  const worker_pool_detail::PoolUse use;
  tbb::task_group group;
  try {
    group.run([&background] {
      ready_thread_local_storage();
      background();
    });
  } catch (...) {
    // No task could be made: nothing runs in the background.
    background();
    return foreground();
  }
  struct WaitForBackground {
    tbb::task_group& group;
    bool waited = false;
    ~WaitForBackground() {
      if (waited) return;
      try {
        group.wait();
      } catch (...) {  // NOLINT(bugprone-empty-catch): the foreground's exception is the one raised
      }
    }
  } wait_for_background{group};
  auto result = foreground();
  wait_for_background.waited = true;
  group.wait();
  return result;
}

}  // namespace wrenmark
