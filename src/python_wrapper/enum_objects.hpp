#pragma once

#include <Python.h>

#include <optional>

#include "bpe_tokenizer/core/settings.hpp"

namespace wrenmark::python {

PyTypeObject* pre_tokenization_type();
PyTypeObject* special_token_removal_method_type();

// A new PreTokenization or SpecialTokenRemovalMethod object holding `value`.
PyObject* to_python_enum(PreTokenization value);
PyObject* to_python_enum(SpecialTokenRemovalMethod value);

// The value of a PreTokenization or SpecialTokenRemovalMethod argument; TypeError naming the
// class when `object` is not one.
std::optional<PreTokenization> to_pre_tokenization(PyObject* object, const char* name);
std::optional<SpecialTokenRemovalMethod> to_removal_method(PyObject* object, const char* name);

}  // namespace wrenmark::python
