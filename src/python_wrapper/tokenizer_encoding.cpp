#include "encoding/decode.hpp"
#include "encoding/encode.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_object.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"text", nullptr};
  PyObject* text_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BpeTokenizer.encode", const_cast<char**>(keywords), &text_argument)) {
    return nullptr;
  }
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto text = to_text(text_argument, "text");
    if (!text) return nullptr;
    auto encoding = encode(tokenizer, *text);
    if (!encoding) return raise_error(encoding.error());
    return make_encoder(std::move(encoding).value());
  });
}

PyObject* tokenizer_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ids", nullptr};
  PyObject* ids_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BpeTokenizer.decode", const_cast<char**>(keywords), &ids_argument)) {
    return nullptr;
  }
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto ids = to_u32_list(ids_argument, "ids");
    if (!ids) return nullptr;
    auto text = decode(tokenizer, *ids);
    if (!text) return raise_error(text.error());
    return PyUnicode_DecodeUTF8(text.value().data(), static_cast<Py_ssize_t>(text.value().size()), nullptr);
  });
}

}  // namespace wrenmark::python
