#pragma once

namespace wrenmark {

// Makes the calling thread's thread-local storage of this library and of the C++ runtime exist.
// The C library allocates it on first touch and ends the process when that allocation fails, so
// it is touched before the work allocates, not first by the throw of an allocation failure.
void ready_thread_local_storage() noexcept;

}  // namespace wrenmark
