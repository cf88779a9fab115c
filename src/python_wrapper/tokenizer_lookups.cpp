#include "python_wrapper/conversions.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_get_id_by_token(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"token", nullptr};
  PyObject* token_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BpeTokenizer.get_id_by_token", const_cast<char**>(keywords), &token_argument)) {
    return nullptr;
  }
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto token = to_text(token_argument, "token");
    if (!token) return nullptr;
    auto id = get_id_by_token(tokenizer, *token);
    if (!id) return raise_error(id.error());
    return PyLong_FromUnsignedLong(id.value());
  });
}

PyObject* tokenizer_get_token_by_id(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", nullptr};
  PyObject* id_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BpeTokenizer.get_token_by_id", const_cast<char**>(keywords), &id_argument)) {
    return nullptr;
  }
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto id = to_u32(id_argument, "id");
    if (!id) return nullptr;
    auto token = get_token_by_id(tokenizer, *id);
    if (!token) return raise_error(token.error());
    return PyUnicode_DecodeUTF8(token.value().data(), static_cast<Py_ssize_t>(token.value().size()), nullptr);
  });
}

}  // namespace wrenmark::python
