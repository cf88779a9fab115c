#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/packed_encoding.hpp"
#include "bpe_tokenizer/encoding/shared_encoding_block.hpp"

namespace wrenmark::python {

PyTypeObject* encoder_type();
// A new Encoder object reading the packed encoding at `packed` in `block`, whose user it becomes.
PyObject* make_encoder(SharedEncodingBlock& block, const std::byte* packed);
// A new Encoder object holding a packed copy of `encoding`.
PyObject* make_encoder(const EncodingBuilder& encoding);

}  // namespace wrenmark::python
