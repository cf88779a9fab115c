#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/encoding_result.hpp"

namespace wrenmark::python {

PyTypeObject* encoder_type();
// A new Encoder object that takes over `encoding`.
PyObject* make_encoder(Encoding&& encoding);

}  // namespace wrenmark::python
