#pragma once

#include <Python.h>

namespace wrenmark::python {

// The extension's private functions (names starting with an underscore, not in __all__): block
// counting for training elsewhere, the settings a worker needs for it, and the block size of
// training. Ends with a null entry.
extern PyMethodDef counting_functions[];

}  // namespace wrenmark::python
