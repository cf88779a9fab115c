#pragma once

#include <Python.h>

#include <utility>

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "python_wrapper/borrow.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/id_objects.hpp"

namespace wrenmark::python {

// The native part of a BpeTokenizer object: the tokenizer and what encoding keeps between its
// calls. The cache changes under shared access; that is safe because it is safe to share between
// threads by itself, also with the interpreter lock let go (encoding_cache.hpp).
struct TokenizerState {
  explicit TokenizerState(BpeTokenizer tokenizer_in) : tokenizer(std::move(tokenizer_in)) {}
  BpeTokenizer tokenizer;
  mutable EncodingCache encoding_cache;
  // Kept with the tokenizer, which every Encoder of it keeps alive.
  IdObjects id_objects;
};

struct TokenizerObject {
  PyObject_HEAD
  BorrowFlag borrow;
  TokenizerState native;
};

PyTypeObject* tokenizer_type();
// A new BpeTokenizer object that takes over `tokenizer`.
PyObject* make_tokenizer_object(BpeTokenizer&& tokenizer);
// The same for a model just read from files or a pickle, with its encoding tables already
// derived: a loaded model is there to encode, and its first call should not pay for them.
PyObject* make_loaded_tokenizer_object(BpeTokenizer&& tokenizer);

// Runs `body(state)` with the receiver's state under a `Borrow` of it, after checking the
// receiver's type; C++ exceptions become Python exceptions.
template <typename Borrow, typename Body>
PyObject* with_borrowed_state(PyObject* self, Body&& body) {
  return guard_exceptions([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, tokenizer_type())) {
      PyErr_SetString(PyExc_TypeError, "descriptor requires a 'BpeTokenizer' object");
      return nullptr;
    }
    auto* object = reinterpret_cast<TokenizerObject*>(self);
    Borrow borrow(object->borrow);
    if (!borrow.held()) return nullptr;
    return body(object->native);
  });
}

// Runs `body(tokenizer)` with shared access to the receiver's tokenizer.
template <typename Body>
PyObject* with_shared_tokenizer(PyObject* self, Body&& body) {
  return with_borrowed_state<SharedBorrow>(
      self, [&](const TokenizerState& state) -> PyObject* { return body(state.tokenizer); });
}

// Runs `body(tokenizer, encoding_cache)` with shared access to the receiver's tokenizer.
template <typename Body>
PyObject* with_shared_encoding(PyObject* self, Body&& body) {
  return with_borrowed_state<SharedBorrow>(
      self, [&](const TokenizerState& state) -> PyObject* { return body(state.tokenizer, state.encoding_cache); });
}

// Runs `body(tokenizer)` with exclusive access to the receiver's tokenizer.
template <typename Body>
PyObject* with_exclusive_tokenizer(PyObject* self, Body&& body) {
  return with_borrowed_state<ExclusiveBorrow>(
      self, [&](TokenizerState& state) -> PyObject* { return body(state.tokenizer); });
}

// The methods, each defined in the file of its feature.
PyObject* tokenizer_get_id_by_token(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_get_token_by_id(PyObject* self, PyObject* args, PyObject* kwargs);
// Called the vectorcall way: one text per call is the loop that most callers write.
PyObject* tokenizer_encode(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keyword_names);
PyObject* tokenizer_decode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_train(PyObject* self, PyObject* unused);
// Before training: settings that byte fallback refuses raise ValueError; true when none do.
bool refuse_byte_fallback_fault(const BpeTokenizer& tokenizer);
PyObject* tokenizer_continue_training(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_train_from_iterator(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_train_from_word_counts(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_encode_batch_padded(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_save(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_export_model(PyObject* self, PyObject* unused);
// Static: the first argument is always null.
PyObject* tokenizer_from_pretrained(PyObject* unused, PyObject* args, PyObject* kwargs);

// The attributes: the settings, read-only where the constructor sets them, and the sizes.
extern PyGetSetDef tokenizer_attributes[];

}  // namespace wrenmark::python
