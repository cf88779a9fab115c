#pragma once

#include <Python.h>

namespace wrenmark::python {

// Guards an object's native value against re-entrant use: 0 free, n > 0 readers, -1 a writer.
// Only the thread holding the interpreter lock touches it, so no atomics are needed.
struct BorrowFlag {
  Py_ssize_t state = 0;
};

// Shared access for the lifetime of the guard. When the value is being changed, acquiring
// fails with RuntimeError "Already mutably borrowed" and `held()` is false.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag_.state;
    held_ = true;
  }
  ~SharedBorrow() {
    if (held_) --flag_.state;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  bool held() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

// Exclusive access for the lifetime of the guard. Fails with RuntimeError "Already borrowed"
// when any other access is held.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag_.state = -1;
    held_ = true;
  }
  ~ExclusiveBorrow() {
    if (held_) flag_.state = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  bool held() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

}  // namespace wrenmark::python
