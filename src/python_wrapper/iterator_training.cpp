// BpeTokenizer.train_from_iterator: training from the items of a Python iterable, taken as the
// items joined by line feeds and counted as they come (item_stream_feed.hpp).
#include <optional>
#include <string>

#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/counting/text_stream_counting.hpp"
#include "bpe_tokenizer/training/train.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/item_stream_feed.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

bool fail(const TokenizerError& error) {
  raise_error(error);
  return false;
}

// Names the item in the pending UnicodeEncodeError (a lone surrogate), whose text is made from
// its reason.
void name_item_in_encode_error(const std::string& where) {
  PyRef raised(PyErr_GetRaisedException());
  if (raised && PyObject_IsInstance(raised.get(), PyExc_UnicodeEncodeError) == 1) {
    PyRef reason(PyObject_GetAttrString(raised.get(), "reason"));
    PyRef named(reason ? PyUnicode_FromFormat("%U (%s)", reason.get(), where.c_str()) : nullptr);
    if (!named || PyObject_SetAttrString(raised.get(), "reason", named.get()) != 0) PyErr_Clear();
  }
  PyErr_SetRaisedException(raised.release());
}

std::string item_name(std::uint64_t index, std::optional<std::uint64_t> element) {
  std::string name = "item " + std::to_string(index);
  if (element) name = "element " + std::to_string(*element) + " of " + name;
  return name;
}

// Adds one text to the stream; false with TypeError or UnicodeEncodeError set when it is not
// valid text.
bool add_text(PyObject* text, TextStreamCounting& counting, std::uint64_t index, std::optional<std::uint64_t> element) {
  if (!PyUnicode_Check(text)) {
    PyRef type_name(PyType_GetName(Py_TYPE(text)));
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "argument 'iterator': %s is a '%U' object, not 'str'%s",
                 item_name(index, element).c_str(), type_name.get(), element ? "" : " or a list of 'str'");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    name_item_in_encode_error(item_name(index, element));
    return false;
  }
  counting.add_item(std::string_view(data, static_cast<std::size_t>(size)));
  return true;
}

// One element of the iterable: a str, or a list or tuple of str (a batch, each str an item).
bool add_element(PyObject* element, TextStreamCounting& counting, std::uint64_t index) {
  if (!PyList_Check(element) && !PyTuple_Check(element)) return add_text(element, counting, index, std::nullopt);
  const Py_ssize_t size = PySequence_Size(element);
  if (size < 0) return false;
  for (Py_ssize_t position = 0; position < size; ++position) {
    PyRef text(PySequence_GetItem(element, position));
    if (!text || !add_text(text.get(), counting, index, static_cast<std::uint64_t>(position))) return false;
  }
  return true;
}

// Trains from the items; false with an exception set on failure. The monitor is finished by the
// caller.
bool train_from_items(BpeTokenizer& tokenizer, PyObject* iterator, std::uint64_t length, TrainingMonitor& monitor,
                      ItemsSignalCheck& signals) {
  Result<BlockCounter> counter = BlockCounter::create(tokenizer.settings);
  if (!counter) return fail(counter.error());
  Result<CorpusCounts> counts = count_items(iterator, add_element, counter.value(), length, monitor, signals);
  if (!counts) return fail(counts.error());
  Status trained = train_from_word_counts(tokenizer, std::move(counts.value().table), counts.value().removal_ns,
                                          counts.value().counting_ns, &monitor);
  if (!trained) return fail(trained.error());
  return true;
}

}  // namespace

PyObject* tokenizer_train_from_iterator(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"iterator", "length", nullptr};
  static const char* const format = "O|O:train_from_iterator";
  if (!reject_unexpected_keywords(kwargs, keywords, format)) return nullptr;
  PyObject* iterable = nullptr;
  PyObject* length_argument = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &iterable, &length_argument)) {
    return nullptr;
  }
  return with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    if (tokenizer.trained()) return raise_error(TokenizerError::invalid_state("Cannot train a pretrained model"));
    if (!refuse_byte_fallback_fault(tokenizer)) return nullptr;
    std::optional<std::uint64_t> length = 0;
    if (length_argument != Py_None) length = to_u64(length_argument, "length");
    if (!length) return nullptr;
    PyRef iterator(PyObject_GetIter(iterable));
    if (!iterator) return nullptr;
    ItemsSignalCheck signals;
    Cancellation cancellation(&signals);
    TrainingMonitor monitor(cancellation, tokenizer.settings.show_progress);
    const bool trained = train_from_items(tokenizer, iterator.get(), *length, monitor, signals);
    monitor.finish(trained || tokenizer.trained());
    if (!trained) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
