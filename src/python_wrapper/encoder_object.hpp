#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/packed_encoding.hpp"
#include "bpe_tokenizer/encoding/shared_encoding_block.hpp"
#include "python_wrapper/encoder_outputs.hpp"

namespace wrenmark::python {

PyTypeObject* encoder_type();
// A new Encoder object reading the packed encoding at `packed` in `block`, whose user it becomes.
// It keeps `origin`'s tokenizer alive, to place its tokens when asked.
PyObject* make_encoder(SharedEncodingBlock& block, const std::byte* packed, const EncodingOrigin& origin = {});
// A new Encoder object holding a packed copy of `encoding`.
PyObject* make_encoder(const EncodingBuilder& encoding, const EncodingOrigin& origin = {});

}  // namespace wrenmark::python
