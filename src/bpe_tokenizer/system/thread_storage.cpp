#include "bpe_tokenizer/system/thread_storage.hpp"

#include <exception>

namespace wrenmark {

void ready_thread_local_storage() noexcept {
  // Any thread-local variable of the library stands for its whole block.
  thread_local bool ready = false;
  if (ready) return;
  // The result is kept so that the call, which the library declares pure, is made.
  ready = std::uncaught_exceptions() >= 0;
}

}  // namespace wrenmark
