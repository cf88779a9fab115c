#include <string>

#include "bpe_tokenizer/training/continuing/continue_training.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/item_stream_feed.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/signal_check.hpp"
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

// One item of the iterable: a str, taken as one line of the corpus.
bool add_item(PyObject* item, TextStreamCounting& counting, std::uint64_t index) {
  if (!PyUnicode_Check(item)) {
    PyRef type_name(PyType_GetName(Py_TYPE(item)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "item %llu must be a str, not '%U'", static_cast<unsigned long long>(index),
                   type_name.get());
    }
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(item, &size);
  if (text == nullptr) {
    prefix_pending_exception("item " + std::to_string(index) + ": ");
    return false;
  }
  counting.add_item(std::string_view(text, static_cast<std::size_t>(size)));
  return true;
}

// Continues on the items of `iterable` joined by line feeds, counted as they come.
PyObject* continue_on_items(const BpeTokenizer& tokenizer, PyObject* iterable, std::uint64_t target) {
  PyRef iterator(PyObject_GetIter(iterable));
  if (!iterator) return nullptr;
  ItemsSignalCheck signals;
  Cancellation cancellation(&signals);
  TrainingMonitor monitor(cancellation, tokenizer.settings.show_progress);
  Result<BpeTokenizer> continued = [&]() -> Result<BpeTokenizer> {
    Result<BlockCounter> counter = BlockCounter::create(tokenizer.settings);
    if (!counter) return counter.error();
    Result<CorpusCounts> counts = count_items(iterator.get(), add_item, counter.value(), 0, monitor, signals);
    if (!counts) return counts.error();
    return continue_from_counts(tokenizer, target, std::move(counts).value(), monitor);
  }();
  monitor.finish(continued.ok());
  if (!continued) return raise_error(continued.error());
  return make_tokenizer_object(std::move(continued).value());
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

    if (!is_path(source)) return continue_on_items(tokenizer, source, *target);
    auto path = path_text(source);
    if (!path) return nullptr;

    // Continuing holds the interpreter lock, so signal handlers run right inside it.
    SignalCheck signals;
    Cancellation cancellation(&signals);
    Result<BpeTokenizer> continued = continue_training(tokenizer, *path, *target, cancellation);
    if (!continued) return raise_error(continued.error());
    return make_tokenizer_object(std::move(continued).value());
  });
}

}  // namespace wrenmark::python
