#pragma once

#include <Python.h>

namespace wrenmark::python {

// The extension's private view of the character classes of pre-tokenization, so that Python
// code which restates them (the tokenizer.json export) can be checked against the core's. Not in
// __all__. Ends with a null entry.
extern PyMethodDef text_class_functions[];

}  // namespace wrenmark::python
