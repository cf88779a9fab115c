#pragma once

#include <Python.h>

#include <utility>

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

}  // namespace wrenmark::python
