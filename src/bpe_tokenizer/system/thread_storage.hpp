#pragma once

namespace wrenmark {

namespace detail {
// Constant-initialised, so that a read of it from any file is one lookup without a guard.
extern thread_local constinit bool thread_local_storage_ready;
void make_thread_local_storage() noexcept;
}  // namespace detail

// Makes the calling thread's thread-local storage of this library and of the C++ runtime exist.
// The C library allocates it on first touch and ends the process when that allocation fails, so
// it is touched before the work allocates, not first by the throw of an allocation failure.
// Inline: every call into the binding makes it, and after a thread's first it is one test.
inline void ready_thread_local_storage() noexcept {
  if (!detail::thread_local_storage_ready) [[unlikely]]
    detail::make_thread_local_storage();
}

}  // namespace wrenmark
