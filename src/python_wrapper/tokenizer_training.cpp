#include "bpe_tokenizer/training/train.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_train(PyObject* self, PyObject*) {
  return with_exclusive_tokenizer(self, [](BpeTokenizer& tokenizer) -> PyObject* {
    // Training holds the interpreter lock, so signal handlers run right inside it.
    SignalCheck signals;
    Cancellation cancellation(&signals);
    if (Status trained = train(tokenizer, cancellation); !trained) return raise_error(trained.error());
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
