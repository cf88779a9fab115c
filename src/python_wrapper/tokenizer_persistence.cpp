#include "bpe_tokenizer/persistence/model_reader.hpp"
#include "bpe_tokenizer/persistence/model_writer.hpp"
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
    return make_loaded_tokenizer_object(std::move(tokenizer).value());
  });
}

PyObject* tokenizer_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* directory_argument = parse_one_argument(args, kwargs, "output_dir", "O:BpeTokenizer.save");
  if (directory_argument == nullptr) return nullptr;
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto output_dir = to_text(directory_argument, "output_dir");
    if (!output_dir) return nullptr;
    if (Status saved = save_model_to(tokenizer, *output_dir); !saved) return raise_error(saved.error());
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
