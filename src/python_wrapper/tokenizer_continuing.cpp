#include <memory>
#include <string>

#include "bpe_tokenizer/training/continuing/continue_training.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/text_items_corpus.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// A str or an os.PathLike is a path; anything else is taken as an iterable of str.
bool is_path(PyObject* source) {
  if (PyUnicode_Check(source)) return true;
  PyRef fspath(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__"));
  if (!fspath) PyErr_Clear();
  return static_cast<bool>(fspath);
}

std::optional<std::string> path_text(PyObject* source) {
  PyRef path(PyOS_FSPath(source));
  if (!path) return std::nullopt;
  if (PyBytes_Check(path.get())) {
    path = PyRef(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(path.get()), PyBytes_Size(path.get())));
    if (!path) return std::nullopt;
  }
  auto text = to_text(path.get(), "source");
  if (!text) return std::nullopt;
  return std::string(*text);
}

}  // namespace

PyObject* tokenizer_continue_training(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "target_vocab_size", nullptr};
  PyObject* source = nullptr;
  PyObject* target_vocab_size = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:continue_training", const_cast<char**>(keywords), &source,
                                   &target_vocab_size)) {
    return nullptr;
  }
  return with_shared_tokenizer(self, [&](const BpeTokenizer& tokenizer) -> PyObject* {
    auto target = to_u64(target_vocab_size, "target_vocab_size");
    if (!target) return nullptr;
    if (!tokenizer.trained()) return raise_error(untrained_continuation_error());

    std::unique_ptr<TextItemsCorpus> items;
    std::string path;
    if (is_path(source)) {
      auto text = path_text(source);
      if (!text) return nullptr;
      path = std::move(*text);
    } else {
      items = TextItemsCorpus::spool(source);
      if (!items) return nullptr;
      path = items->path();
    }

    // Continuing holds the interpreter lock, so signal handlers run right inside it.
    SignalCheck signals;
    Cancellation cancellation(&signals);
    Result<BpeTokenizer> continued = continue_training(tokenizer, path, *target, cancellation);
    if (!continued) return raise_error(continued.error());
    return make_tokenizer_object(std::move(continued).value());
  });
}

}  // namespace wrenmark::python
