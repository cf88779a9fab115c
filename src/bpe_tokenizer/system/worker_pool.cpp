#include "bpe_tokenizer/system/worker_pool.hpp"

#include <pthread.h>

#include <atomic>

namespace wrenmark {

namespace {

// Set (once, before the pool's first use) in a process that started the pool, and inherited
// by its forked children.
std::atomic<bool> pool_started{false};
// Set in a forked child of a process that had started the pool.
std::atomic<bool> pool_lost_in_fork{false};

[[maybe_unused]] const bool fork_handler_registered = []() noexcept {
  ::pthread_atfork(nullptr, nullptr, [] {
    if (pool_started.load()) pool_lost_in_fork.store(true);
  });
  return true;
}();

}  // namespace

bool worker_pool_usable() { return !pool_lost_in_fork.load(std::memory_order_relaxed); }

namespace worker_pool_detail {

void note_pool_started() {
  // Stored before the pool is touched, so a fork that copies any of the pool's state copies this.
  if (!pool_started.load(std::memory_order_relaxed)) pool_started.store(true);
}

}  // namespace worker_pool_detail

}  // namespace wrenmark
