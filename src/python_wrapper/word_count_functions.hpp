#pragma once

#include <Python.h>

namespace wrenmark::python {

// The extension's private functions (names starting with an underscore, not in __all__): block
// counting for training elsewhere, and the block size of training. Ends with a null entry.
extern PyMethodDef word_count_functions[];

}  // namespace wrenmark::python
