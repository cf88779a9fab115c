#pragma once

#include <Python.h>

namespace wrenmark::python {

// Pickling. The classes are named "builtins.X", so pickle cannot find them by name; each
// __reduce__ names instead a private function of this module that rebuilds the object:
// `_tokenizer_from_state(state)`, the bytes of persistence/tokenizer_state.hpp, and
// `_encoder_from_state(version, original_text, tokens, ids, token_types)`. Ends with a null entry.
extern PyMethodDef pickling_functions[];

// The methods of BpeTokenizer: __reduce__, and __copy__ and __deepcopy__, which share the
// immutable model instead of copying it.
PyObject* tokenizer_reduce(PyObject* self, PyObject* unused);
PyObject* tokenizer_copy(PyObject* self, PyObject* unused);
PyObject* tokenizer_deepcopy(PyObject* self, PyObject* memo);

// The module's function `name`, which a __reduce__ returns for pickle to find by module path.
PyObject* reconstructor(const char* name);

// The version of the Encoder's pickled form, its first value.
inline constexpr unsigned long kEncoderStateVersion = 1;

}  // namespace wrenmark::python
