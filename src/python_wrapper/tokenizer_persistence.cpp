#include "persistence/model_reader.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_from_pretrained(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"files_path", nullptr};
  PyObject* path_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:BpeTokenizer.from_pretrained", const_cast<char**>(keywords),
                                   &path_argument)) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    auto files_path = to_text(path_argument, "files_path");
    if (!files_path) return nullptr;
    auto tokenizer = load_model_directory(*files_path);
    if (!tokenizer) return raise_error(tokenizer.error());
    return make_tokenizer_object(std::move(tokenizer).value());
  });
}

}  // namespace wrenmark::python
