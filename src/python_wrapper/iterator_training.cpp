// BpeTokenizer.train_from_iterator: training from the items of a Python iterable, taken as the
// items joined by line feeds. The items are consumed as they come, holding the interpreter lock,
// while the chunk before is counted on a thread of its own; the lock is let go whenever this
// thread waits for that count, so that other Python threads (a reader feeding the iterator, say)
// run meanwhile. About two chunks of text are held at a time.
#include <optional>
#include <string>

#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/counting/text_stream_counting.hpp"
#include "bpe_tokenizer/training/train.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/interpreter_lock.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

bool fail(const TokenizerError& error) {
  raise_error(error);
  return false;
}

// Runs the signal handlers when asked, taking the interpreter lock back for the moment while this
// thread waits for a count without it.
class ItemsSignalCheck final : public StopRequest {
 public:
  bool stop_now() override {
    if (released_ != nullptr) return released_->with_lock([] { return PyErr_CheckSignals() != 0; });
    return PyErr_CheckSignals() != 0;
  }

  // Hands the ready chunks of `counting` over, with the lock let go while it waits for the
  // counting thread. False with an exception set on failure.
  bool count_ready_chunks(TextStreamCounting& counting) {
    auto counted = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
      const LockReleasedScope scope(*this, released);
      Status status;
      while (status.ok() && counting.chunk_ready()) status = counting.count_ready_chunk();
      return status;
    });
    if (!counted) return false;
    if (!counted->ok()) return fail(counted->error());
    return true;
  }

  Result<CorpusCounts> finish(TextStreamCounting& counting) {
    auto counts = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
      const LockReleasedScope scope(*this, released);
      return counting.finish();
    });
    // A C++ exception is already raised; Cancelled tells the caller that an exception is set.
    if (!counts) return TokenizerError::cancelled();
    return std::move(*counts);
  }

 private:
  struct LockReleasedScope {
    LockReleasedScope(ItemsSignalCheck& check, InterpreterLockReleased& released) : check(check) {
      check.released_ = &released;
    }
    ~LockReleasedScope() { check.released_ = nullptr; }
    ItemsSignalCheck& check;
  };

  InterpreterLockReleased* released_ = nullptr;
};

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

// Feeds every element of `iterator` to `counting`, counting chunks as they fill. False with an
// exception set on failure or stop.
bool feed_items(PyObject* iterator, TextStreamCounting& counting, TrainingMonitor& monitor, ItemsSignalCheck& signals) {
  for (std::uint64_t index = 0;; ++index) {
    PyRef element(PyIter_Next(iterator));
    if (!element) return PyErr_Occurred() == nullptr;
    const std::uint64_t items_before = counting.items();
    if (!add_element(element.get(), counting, index)) return false;
    monitor.set_bytes_beside(counting.bytes());
    if (monitor.advance(counting.items() - items_before)) return fail(TokenizerError::cancelled());
    if (counting.chunk_ready() && !signals.count_ready_chunks(counting)) return false;
  }
}

// Trains from the items; false with an exception set on failure. The monitor is finished by the
// caller.
bool train_from_items(BpeTokenizer& tokenizer, PyObject* iterator, std::uint64_t length, TrainingMonitor& monitor,
                      ItemsSignalCheck& signals) {
  Result<BlockCounter> counter = BlockCounter::create(tokenizer.settings);
  if (!counter) return fail(counter.error());
  TextStreamCounting counting(counter.value(), training_block_bytes(), &monitor);
  if (monitor.begin_phase(TrainingPhase::CountingItems, length)) return fail(TokenizerError::cancelled());
  if (!feed_items(iterator, counting, monitor, signals)) return false;
  Result<CorpusCounts> counts = signals.finish(counting);
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
