#pragma once

#include <Python.h>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "python_wrapper/interpreter_lock.hpp"

namespace wrenmark::python {

// True on the interpreter's main thread, the only one where signal handlers run.
bool on_main_thread();

// Stops an operation that holds the interpreter lock when a signal handler raises: the
// handlers run inside the operation, and the exception they raise stays set for the caller.
class SignalCheck final : public StopRequest {
 public:
  bool stop_now() override { return PyErr_CheckSignals() != 0; }
};

// The same for an operation that runs with the lock released: the lock is taken back for the
// moment of the check. Off the main thread no handler can run, so nothing is done there.
class SignalCheckWithoutLock final : public StopRequest {
 public:
  // `main_thread` is on_main_thread(), asked before the lock was released.
  SignalCheckWithoutLock(InterpreterLockReleased& released, bool main_thread)
      : released_(released), main_thread_(main_thread) {}
  bool stop_now() override {
    if (!main_thread_) return false;
    return released_.with_lock([] { return PyErr_CheckSignals() != 0; });
  }

 private:
  InterpreterLockReleased& released_;
  bool main_thread_;
};

}  // namespace wrenmark::python
