#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "bpe_tokenizer/core/tokenizer_error.hpp"
#include "bpe_tokenizer/system/thread_storage.hpp"

namespace wrenmark::python {

// Raises the Python exception for a core error: RuntimeError with the error's text, or
// PanicException for an internal fault. Always returns nullptr for use as a return value.
PyObject* raise_error(const TokenizerError& error);

// Reports an internal fault on standard error and raises PanicException with `message`.
PyObject* raise_panic(std::string_view message);

// The PanicException class (derived from BaseException), created on first use.
PyObject* panic_exception_type();

// Raises the Python exception for a C++ exception that reached the binding's boundary: MemoryError
// for an allocation that failed (bad_alloc, or a size no allocation can hold), RuntimeError for
// a thread that could not be started, PanicException for anything else. Needs the interpreter
// lock, and allocates nothing for MemoryError.
void raise_cpp_exception(const std::exception_ptr& failure) noexcept;

// Runs a binding body, turning any C++ exception that escapes it into a Python exception so
// that nothing unwinds into the interpreter. The body holds the interpreter lock; work that lets
// it go does so through run_without_interpreter_lock (interpreter_lock.hpp), which converts its
// exceptions only once the lock is back.
template <typename Body>
auto guard_exceptions(Body&& body) noexcept -> decltype(body()) {
  ready_thread_local_storage();
  try {
    return body();
  } catch (...) {
    raise_cpp_exception(std::current_exception());
  }
  return decltype(body())();
}

}  // namespace wrenmark::python
