#pragma once

#include <Python.h>

#include <utility>

namespace wrenmark::python {

// Owns one strong reference to a Python object and releases it when it goes out of scope.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (nullptr allowed, for a failed call).
  explicit PyRef(PyObject* owned) : object_(owned) {}

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller, typically as a return value to the interpreter.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace wrenmark::python
