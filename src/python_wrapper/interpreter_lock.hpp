#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "python_wrapper/errors.hpp"

namespace wrenmark::python {

// Lets go of the interpreter lock for the guard's lifetime, as Py_BEGIN_ALLOW_THREADS and
// Py_END_ALLOW_THREADS do around a block, so that other Python threads run meanwhile. No Python
// object may be touched while it is released, except inside `with_lock`.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : saved_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(saved_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

  // Runs `body` holding the lock again, on the thread that released it, then lets it go.
  template <typename Body>
  auto with_lock(Body&& body) {
    PyEval_RestoreThread(saved_);
    struct Release {
      PyThreadState*& saved;
      ~Release() { saved = PyEval_SaveThread(); }
    } release{saved_};
    return std::forward<Body>(body)();
  }

 private:
  PyThreadState* saved_;
};

// Runs `work(released)` with the interpreter lock let go and returns what it returns. Nothing
// thrown there crosses back: the exception is caught while the lock is still released and
// raised as a Python exception (raise_cpp_exception) only once the lock is held again; then the
// result is empty. Whatever the caller owns that needs the lock (Python references, buffers)
// must live outside the call, so that it is released holding the lock too.
template <typename Work>
auto run_without_interpreter_lock(Work&& work) -> std::optional<std::invoke_result_t<Work, InterpreterLockReleased&>> {
  std::optional<std::invoke_result_t<Work, InterpreterLockReleased&>> result;
  std::exception_ptr failure;
  {
    InterpreterLockReleased released;
    try {
      result.emplace(std::forward<Work>(work)(released));
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    result.reset();
    raise_cpp_exception(failure);
  }
  return result;
}

}  // namespace wrenmark::python
