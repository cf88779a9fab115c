#pragma once

#include <Python.h>

#include <cstddef>

namespace wrenmark::python {

// The shape of a C-contiguous array of one- or two-dimensional data in memory that `owner` keeps.
struct ArrayLayout {
  const void* data;
  const char* format;  // a struct module format of one item, such as "I" or "q"
  Py_ssize_t item_size;
  int dimensions;  // 1 or 2
  Py_ssize_t shape[2];
  bool read_only;
};

// A new memoryview of the array `layout` describes, which keeps `owner` alive: numpy.asarray and
// torch.frombuffer take it without a copy, and no Python int is made per item.
PyObject* make_array_view(PyObject* owner, const ArrayLayout& layout);

}  // namespace wrenmark::python
