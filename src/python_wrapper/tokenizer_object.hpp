#pragma once

#include <Python.h>

#include <memory>

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "python_wrapper/borrow.hpp"
#include "python_wrapper/errors.hpp"

namespace wrenmark::python {

struct TokenizerObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::unique_ptr<BpeTokenizer> native;
};

PyTypeObject* tokenizer_type();
// A new BpeTokenizer object that takes over `tokenizer`.
PyObject* make_tokenizer_object(std::unique_ptr<BpeTokenizer> tokenizer);

// Runs `body(tokenizer)` with shared access to the receiver's tokenizer, after checking the
// receiver's type; C++ exceptions become Python exceptions.
template <typename Body>
PyObject* with_shared_tokenizer(PyObject* self, Body&& body) {
  return guard_exceptions([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, tokenizer_type())) {
      PyErr_SetString(PyExc_TypeError, "descriptor requires a 'BpeTokenizer' object");
      return nullptr;
    }
    auto* object = reinterpret_cast<TokenizerObject*>(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow.held()) return nullptr;
    return body(static_cast<const BpeTokenizer&>(*object->native));
  });
}

// As with_shared_tokenizer, with exclusive access.
template <typename Body>
PyObject* with_exclusive_tokenizer(PyObject* self, Body&& body) {
  return guard_exceptions([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, tokenizer_type())) {
      PyErr_SetString(PyExc_TypeError, "descriptor requires a 'BpeTokenizer' object");
      return nullptr;
    }
    auto* object = reinterpret_cast<TokenizerObject*>(self);
    ExclusiveBorrow borrow(object->borrow);
    if (!borrow.held()) return nullptr;
    return body(*object->native);
  });
}

// The methods, each defined in the file of its feature.
PyObject* tokenizer_get_id_by_token(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_get_token_by_id(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_encode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_decode(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tokenizer_train(PyObject* self, PyObject* unused);
PyObject* tokenizer_export_model(PyObject* self, PyObject* unused);
// Static: the first argument is always null.
PyObject* tokenizer_from_pretrained(PyObject* unused, PyObject* args, PyObject* kwargs);

}  // namespace wrenmark::python
