#pragma once

#include <Python.h>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "python_wrapper/interpreter_lock.hpp"

namespace wrenmark::python {

// Stops an operation that holds the interpreter lock when a signal handler raises: the
// handlers run inside the operation, and the exception they raise stays set for the caller.
class SignalCheck final : public StopRequest {
 public:
  bool stop_now() override { return PyErr_CheckSignals() != 0; }
};

// The same for an operation that runs with the lock released: the lock is taken back for the
// moment of the check. Off the main thread PyErr_CheckSignals runs no handler and returns 0; the
// stable ABI offers no cheaper way to know the thread, and one lock round trip per check is small.
class SignalCheckWithoutLock final : public StopRequest {
 public:
  explicit SignalCheckWithoutLock(InterpreterLockReleased& released) : released_(released) {}
  bool stop_now() override {
    return released_.with_lock([] { return PyErr_CheckSignals() != 0; });
  }

 private:
  InterpreterLockReleased& released_;
};

}  // namespace wrenmark::python
