#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/padded_batch.hpp"

namespace wrenmark::python {

// A new object of the type that encode_batch_padded returns, taking over `padded`: its `ids`,
// `attention_mask` and `lengths` are memoryviews of the arrays, which the object keeps.
PyObject* make_padded_batch(PaddedIds&& padded);

}  // namespace wrenmark::python
