#include "bpe_tokenizer/system/worker_pool.hpp"

#include <pthread.h>

#include <atomic>

namespace wrenmark {

namespace {

std::atomic<bool> forked_child{false};

[[maybe_unused]] const bool fork_handler_registered = []() noexcept {
  ::pthread_atfork(nullptr, nullptr, [] { forked_child.store(true); });
  return true;
}();

}  // namespace

bool worker_pool_unusable() { return forked_child.load(std::memory_order_relaxed); }

}  // namespace wrenmark
