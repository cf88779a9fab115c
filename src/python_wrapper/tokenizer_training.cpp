#include "bpe_tokenizer/core/byte_tokens.hpp"
#include "bpe_tokenizer/training/train.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

bool refuse_byte_fallback_fault(const BpeTokenizer& tokenizer) {
  if (tokenizer.trained()) return true;
  const auto fault = byte_fallback_fault(tokenizer.settings);
  if (!fault) return true;
  PyErr_SetString(PyExc_ValueError, fault->c_str());
  return false;
}

PyObject* tokenizer_train(PyObject* self, PyObject*) {
  return with_exclusive_tokenizer(self, [](BpeTokenizer& tokenizer) -> PyObject* {
    // Training holds the interpreter lock, so signal handlers run right inside it.
    if (!refuse_byte_fallback_fault(tokenizer)) return nullptr;
    SignalCheck signals;
    Cancellation cancellation(&signals);
    if (Status trained = train(tokenizer, cancellation); !trained) return raise_error(trained.error());
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
