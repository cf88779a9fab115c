#include "python_wrapper/conversions.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_get_id_by_token(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* token_argument = parse_one_argument(args, kwargs, "token", "O:BpeTokenizer.get_id_by_token");
  if (token_argument == nullptr) return nullptr;
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto token = to_text(token_argument, "token");
    if (!token) return nullptr;
    auto id = get_id_by_token(tokenizer, *token);
    if (!id) return raise_error(id.error());
    return PyLong_FromUnsignedLong(id.value());
  });
}

PyObject* tokenizer_get_token_by_id(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* id_argument = parse_one_argument(args, kwargs, "id", "O:BpeTokenizer.get_token_by_id");
  if (id_argument == nullptr) return nullptr;
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto id = to_u32(id_argument, "id");
    if (!id) return nullptr;
    auto token = get_token_by_id(tokenizer, *id);
    if (!token) return raise_error(token.error());
    return to_python_text(token.value());
  });
}

}  // namespace wrenmark::python
