#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/packed_encoding.hpp"

namespace wrenmark::python {

PyTypeObject* token_type_type();
// A new TokenType object holding `value`.
PyObject* make_token_type(TokenType value);

}  // namespace wrenmark::python
