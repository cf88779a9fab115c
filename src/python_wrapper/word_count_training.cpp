// BpeTokenizer.train_from_word_counts: training from words of the pre-tokenization with their
// counts, as counting a corpus that holds them, in the given order of first occurrence, would
// have found them.
#include <optional>
#include <string>

#include "bpe_tokenizer/system/stopwatch.hpp"
#include "bpe_tokenizer/training/counting/given_words.hpp"
#include "bpe_tokenizer/training/counting/word_count_table.hpp"
#include "bpe_tokenizer/training/train.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

constexpr unsigned long long kLargestCount = 18446744073709551615ULL;

// The (word, count) pairs of `counts`: a mapping's items, or the elements of an iterable.
PyRef pairs_iterator(PyObject* counts) {
  if (PyDict_Check(counts) || PyObject_HasAttrString(counts, "items") == 1) {
    PyRef items(PyObject_CallMethod(counts, "items", nullptr));
    if (!items) return PyRef();
    return PyRef(PyObject_GetIter(items.get()));
  }
  return PyRef(PyObject_GetIter(counts));
}

bool raise_type_error_of(const char* what, std::uint64_t index, PyObject* object, const char* expected) {
  PyRef type_name(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument 'counts': item %llu: %s is a '%U' object, not %s",
               static_cast<unsigned long long>(index), what, type_name.get(), expected);
  return false;
}

std::optional<std::uint64_t> count_of(PyObject* count, std::uint64_t index) {
  if (!PyLong_Check(count) || PyBool_Check(count)) {
    raise_type_error_of("the count", index, count, "'int'");
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(count);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
  } else if (value != 0) {
    return value;
  }
  PyErr_Format(PyExc_ValueError, "argument 'counts': item %llu: the count %R is not between 1 and %llu",
               static_cast<unsigned long long>(index), count, kLargestCount);
  return std::nullopt;
}

// Adds the word and count at `index` to `table`; false with an exception set when they do not fit.
bool add_word(PyObject* word, PyObject* count, std::uint64_t index, PreTokenization mode, WordCountTable& table) {
  const auto item = static_cast<unsigned long long>(index);
  if (!PyUnicode_Check(word)) return raise_type_error_of("the word", index, word, "'str'");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(word, &size);
  if (data == nullptr) {
    prefix_pending_exception("argument 'counts': item " + std::to_string(index) + ": ");
    return false;
  }
  const std::string_view text(data, static_cast<std::size_t>(size));
  if (const std::string_view refusal = given_word_refusal(text, mode); !refusal.empty()) {
    const std::string reason(refusal);
    PyErr_Format(PyExc_ValueError, "argument 'counts': item %llu: the word %R %s", item, word, reason.c_str());
    return false;
  }
  const std::optional<std::uint64_t> value = count_of(count, index);
  if (!value) return false;
  if (!table.add(text, *value, FirstOccurrence{0, index})) {
    PyErr_Format(PyExc_ValueError, "argument 'counts': item %llu: the counts of the word %R add up to more than %llu",
                 item, word, kLargestCount);
    return false;
  }
  return true;
}

bool add_pair(PyObject* pair, std::uint64_t index, PreTokenization mode, WordCountTable& table) {
  if ((!PyTuple_Check(pair) && !PyList_Check(pair)) || PySequence_Size(pair) != 2) {
    if (PyErr_Occurred() != nullptr) return false;
    PyErr_Format(PyExc_TypeError, "argument 'counts': item %llu: not a (word, count) pair",
                 static_cast<unsigned long long>(index));
    return false;
  }
  PyRef word(PySequence_GetItem(pair, 0));
  PyRef count(PySequence_GetItem(pair, 1));
  if (!word || !count) return false;
  return add_word(word.get(), count.get(), index, mode, table);
}

// Fills `table` from `counts`; false with an exception set on a fault or a stop.
bool read_counts(PyObject* counts, PreTokenization mode, WordCountTable& table, Cancellation& cancellation) {
  if (PyDict_CheckExact(counts)) {
    // The plain dict's entries are read in place, without a tuple per item; each is held while it
    // is read, since a signal handler run by the poll may change the dict.
    Py_ssize_t position = 0;
    PyObject* word = nullptr;
    PyObject* count = nullptr;
    for (std::uint64_t index = 0; PyDict_Next(counts, &position, &word, &count); ++index) {
      const PyRef held_word(Py_NewRef(word));
      const PyRef held_count(Py_NewRef(count));
      if (!add_word(held_word.get(), held_count.get(), index, mode, table)) return false;
      if (cancellation.poll()) return false;
    }
    return true;
  }
  PyRef pairs(pairs_iterator(counts));
  if (!pairs) return false;
  for (std::uint64_t index = 0;; ++index) {
    PyRef pair(PyIter_Next(pairs.get()));
    if (!pair) return PyErr_Occurred() == nullptr;
    if (!add_pair(pair.get(), index, mode, table)) return false;
    if (cancellation.poll()) return false;
  }
}

}  // namespace

PyObject* tokenizer_train_from_word_counts(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* counts = parse_one_argument(args, kwargs, "counts", "O:train_from_word_counts");
  if (counts == nullptr) return nullptr;
  return with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    if (tokenizer.trained()) return raise_error(TokenizerError::invalid_state("Cannot train a pretrained model"));
    if (!refuse_byte_fallback_fault(tokenizer)) return nullptr;
    // As train(): the interpreter lock is held, so signal handlers run right inside.
    SignalCheck signals;
    Cancellation cancellation(&signals);
    TrainingMonitor monitor(cancellation, tokenizer.settings.show_progress);
    const Status trained = [&]() -> Status {
      const Stopwatch stopwatch;
      WordCountTable table;
      // A Python exception is set: Cancelled lets it through.
      if (!read_counts(counts, tokenizer.settings.pre_tokenization, table, cancellation)) {
        return TokenizerError::cancelled();
      }
      return train_from_word_counts(tokenizer, std::move(table), 0, stopwatch.elapsed_ns(), &monitor);
    }();
    monitor.finish(trained.ok() || tokenizer.trained());
    if (!trained) return raise_error(trained.error());
    Py_RETURN_NONE;
  });
}

}  // namespace wrenmark::python
