#pragma once

#include <Python.h>

namespace wrenmark::python {

// _training_settings(tokenizer) -> dict: the constructor's settings and whether a model is
// present, as plain Python values. Private: training on a cluster rebuilds an equivalent
// tokenizer on every worker from it, since a tokenizer object does not cross processes.
PyObject* training_settings(PyObject* module, PyObject* tokenizer);

extern PyMethodDef training_settings_functions[];

}  // namespace wrenmark::python
