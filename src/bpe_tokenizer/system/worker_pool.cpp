#include "bpe_tokenizer/system/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <new>

#include "tbb/global_control.h"

namespace wrenmark {

namespace {

// Whether the pool may hold threads: set before a use, cleared when a fork shuts it down.
std::atomic<bool> pool_started{false};
// Calls inside the pool right now.
std::atomic<int> pool_users{0};
// Set in a forked child whose parent's pool was still running at the fork.
std::atomic<bool> pool_lost_in_fork{false};

// Before a fork: an idle pool is shut down (its threads joined), so that the child, and the
// parent on its next use, start one afresh. A pool that another thread is using or holds cannot
// be; the child then runs serially. The flag is cleared before the check for users, so that a
// use beginning meanwhile either is seen here or sets the flag again for the child to see.
void shut_down_idle_pool() noexcept {
  if (!pool_started.load()) return;
  pool_started.store(false);
  if (pool_users.load() == 0) {
    tbb::task_scheduler_handle handle{tbb::attach{}};
    if (tbb::finalize(handle, std::nothrow)) return;
  }
  pool_started.store(true);
}

void mark_child() noexcept {
  if (pool_started.load() || pool_users.load() > 0) pool_lost_in_fork.store(true);
}

[[maybe_unused]] const bool fork_handlers_registered = []() noexcept {
  ::pthread_atfork(shut_down_idle_pool, nullptr, mark_child);
  return true;
}();

}  // namespace

bool worker_pool_usable() { return !pool_lost_in_fork.load(std::memory_order_relaxed); }

namespace worker_pool_detail {

PoolUse::PoolUse() {
  pool_users.fetch_add(1);
  if (!pool_started.load()) pool_started.store(true);
}

PoolUse::~PoolUse() { pool_users.fetch_sub(1); }

}  // namespace worker_pool_detail

}  // namespace wrenmark
