#include "bpe_tokenizer/system/thread_storage.hpp"

#include <exception>

namespace wrenmark::detail {

// Any thread-local variable of the library stands for its whole block.
thread_local constinit bool thread_local_storage_ready = false;

void make_thread_local_storage() noexcept {
  // The result is kept so that the call, which the library declares pure, is made.
  thread_local_storage_ready = std::uncaught_exceptions() >= 0;
}

}  // namespace wrenmark::detail
