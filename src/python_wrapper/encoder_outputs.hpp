#pragma once

#include <Python.h>

#include "bpe_tokenizer/encoding/encoding_tables.hpp"
#include "bpe_tokenizer/encoding/packed_encoding.hpp"

namespace wrenmark::python {

// What made an encoding and what placing its tokens reads again: the tokenizer object, whose
// encoding cache keeps `tables` alive as long as the object lives. Empty for an Encoder rebuilt
// from a pickle.
struct EncodingOrigin {
  PyObject* tokenizer = nullptr;
  const EncodingTables* tables = nullptr;
};

// A new list of the (start, end) code point span of every token of `encoding`.
PyObject* token_offsets_list(const EncodingOrigin& origin, EncodingView encoding);
// A new list of the index of every token's word, None for a special token.
PyObject* word_ids_list(const EncodingOrigin& origin, EncodingView encoding);
// A new read-only memoryview of format "I" over the ids of `encoding`, which `owner` keeps.
PyObject* ids_view(PyObject* owner, EncodingView encoding);

}  // namespace wrenmark::python
