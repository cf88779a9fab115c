#include "python_wrapper/tokenizer_object.hpp"
#include "bpe_tokenizer/training/train.hpp"

namespace wrenmark::python {

PyObject* tokenizer_train(PyObject* self, PyObject*) {
  return with_exclusive_tokenizer(self, [](BpeTokenizer& tokenizer) -> PyObject* {
    if (Status trained = train(tokenizer); !trained) return raise_error(trained.error());
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
