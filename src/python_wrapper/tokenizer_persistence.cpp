#include "bpe_tokenizer/persistence/model_reader.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_from_pretrained(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_argument = parse_one_argument(args, kwargs, "files_path", "O:BpeTokenizer.from_pretrained");
  if (path_argument == nullptr) return nullptr;
  return guard_exceptions([&]() -> PyObject* {
    auto files_path = to_text(path_argument, "files_path");
    if (!files_path) return nullptr;
    auto tokenizer = load_model_directory(*files_path);
    if (!tokenizer) return raise_error(tokenizer.error());
    return make_tokenizer_object(std::move(tokenizer).value());
  });
}

}  // namespace wrenmark::python
