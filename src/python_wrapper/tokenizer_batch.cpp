#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe_tokenizer/encoding/batch.hpp"
#include "bpe_tokenizer/encoding/padded_batch.hpp"
#include "bpe_tokenizer/encoding/streamed_batch.hpp"
#include "python_wrapper/batch_encoders.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_object.hpp"
#include "python_wrapper/interpreter_lock.hpp"
#include "python_wrapper/padded_batch_object.hpp"
#include "python_wrapper/padding_arguments.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// Converts every element with `convert(item)` before any work starts, so that the work can run
// without the interpreter lock. A failing element's exception gets the batch prefix.
template <typename Element, typename Convert>
std::optional<std::vector<Element>> convert_elements(PyObject* sequence, const char* name,
                                                     std::string (*prefix)(std::size_t), Convert&& convert) {
  std::vector<Element> elements;
  std::size_t index = 0;
  const bool converted = for_each_list_item(sequence, name, [&](PyObject* item) {
    auto element = convert(item);
    if (!element) {
      prefix_pending_exception(prefix(index));
      return false;
    }
    elements.push_back(std::move(*element));
    ++index;
    return true;
  });
  if (!converted) return std::nullopt;
  return elements;
}

// Points every view at a copy of its bytes, all in one new buffer, and gives the buffer.
std::unique_ptr<char[]> copy_texts(std::span<std::string_view> views) {
  std::size_t total = 0;
  for (const std::string_view view : views) total += view.size();
  auto copy = std::make_unique_for_overwrite<char[]>(total);
  char* next = copy.get();
  for (std::string_view& view : views) {
    if (!view.empty()) std::memcpy(next, view.data(), view.size());
    view = std::string_view(next, view.size());
    next += view.size();
  }
  return copy;
}

// The texts of a list or tuple, read into views that stay valid while the lock is let go, in one
// piece or, for a StreamedBatch, piece by piece, holding the lock from the first piece to the
// last and calling nothing that runs Python code, so that the list cannot change in between. A tuple keeps its items
// alive itself, so the views point into its str objects and one reference to the tuple keeps
// them. A list's texts, which another thread can change once the lock is let go, are copied into
// buffers of the batch's own, one per piece: a reference per text would write to every str
// object twice a call, on cache lines that the thread which encoded the text has just read,
// which cost more than copying the bytes.
class ListTexts {
 public:
  explicit ListTexts(PyObject* texts)
      : texts_(PyRef::borrowed(texts)),
        tuple_(PyTuple_CheckExact(texts)),
        count_(static_cast<std::size_t>(tuple_ ? PyTuple_Size(texts) : PyList_Size(texts))) {}

  std::size_t count() const { return count_; }

  // Reads the texts from `first` up to `end` into `views`. False with the exception set, for
  // the lowest failing index of the whole batch, since the pieces may be read from the last.
  bool read(std::size_t first, std::size_t end, std::span<std::string_view> views) {
    for (std::size_t index = first; index < end; ++index) {
      auto text = to_text(item(index), "text");
      if (!text) {
        raise_lowest_failure(index);
        return false;
      }
      views[index] = *text;
    }
    if (!tuple_) copies_.push_back(copy_texts(views.subspan(first, end - first)));
    return true;
  }

 private:
  PyObject* item(std::size_t index) const {
    const auto position = static_cast<Py_ssize_t>(index);
    return tuple_ ? PyTuple_GetItem(texts_.get(), position) : PyList_GetItem(texts_.get(), position);
  }

  // With the exception of `failed` set: replaces it by that of a text before, if one fails too.
  // Raising made objects, so the list is checked to be as long as it was at every step.
  void raise_lowest_failure(std::size_t failed) {
    PyRef raised(PyErr_GetRaisedException());
    for (std::size_t index = 0; index < failed; ++index) {
      if (!tuple_ && index >= static_cast<std::size_t>(PyList_Size(texts_.get()))) break;
      if (!to_text(item(index), "text")) {
        prefix_pending_exception(encode_batch_prefix(index));
        return;
      }
    }
    PyErr_SetRaisedException(raised.release());
    prefix_pending_exception(encode_batch_prefix(failed));
  }

  PyRef texts_;
  bool tuple_;
  std::size_t count_;
  std::vector<std::unique_ptr<char[]>> copies_;
};

// The texts of a batch, as views that stay valid while the lock is let go: a list's or tuple's as
// ListTexts reads them, any other sequence's copied into one buffer.
struct BatchTexts {
  std::vector<std::string_view> views;
  std::optional<ListTexts> list;
  std::unique_ptr<char[]> copy;
};

// Failures are those of the iteration, each text's with the batch prefix.
std::optional<BatchTexts> batch_texts(PyObject* texts) {
  BatchTexts batch;
  if (!PyTuple_CheckExact(texts) && !PyList_CheckExact(texts)) {
    // An iterator's items may live no longer than the reference it hands over, so each is held
    // until its bytes are copied.
    std::vector<PyRef> items;
    auto views = convert_elements<std::string_view>(texts, "texts", encode_batch_prefix, [&](PyObject* item) {
      items.push_back(PyRef::borrowed(item));
      return to_text(item, "text");
    });
    if (!views) return std::nullopt;
    batch.views = std::move(*views);
    batch.copy = copy_texts(batch.views);
    return batch;
  }
  ListTexts list(texts);
  batch.views.resize(list.count());
  if (!list.read(0, list.count(), batch.views)) return std::nullopt;
  batch.list.emplace(std::move(list));
  return batch;
}

// Whether encode_batch reads `texts` while the pool already encodes: a list or tuple large
// enough, for a trained tokenizer (an untrained one fails before any text is read).
bool streams(PyObject* texts, const BpeTokenizer& tokenizer) {
  if (!tokenizer.trained()) return false;
  const bool tuple = PyTuple_CheckExact(texts);
  if (!tuple && !PyList_CheckExact(texts)) return false;
  const Py_ssize_t count = tuple ? PyTuple_Size(texts) : PyList_Size(texts);
  return static_cast<std::size_t>(count) >= StreamedBatch::kMinTexts;
}

PyObject* encode_batch_streamed(PyObject* self, const BpeTokenizer& tokenizer, EncodingCache& cache,
                                PyObject* texts_argument) {
  ListTexts texts(texts_argument);
  // Made after the texts, so that its threads are gone before the copies they read are.
  StreamedBatch batch(tokenizer, cache, texts.count());
  for (std::size_t piece = batch.pieces(); piece-- > 0;) {
    if (!texts.read(batch.piece_begin(piece), batch.piece_end(piece), batch.texts())) return nullptr;
    batch.publish(piece);
  }
  // Only once every text is read: between the count and the last text, nothing may allocate an
  // object that the collector tracks, since a collection can run code that changes the list.
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.count())));
  if (!list) return nullptr;
  BatchEncoderList encoders(list.get(), self, tokenizer, cache);
  auto encoded = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
    SignalCheckWithoutLock signals(released);
    encoders.lock_released(&released);
    return batch.finish(signals, &encoders);
  });
  if (!encoded) return nullptr;
  if (!*encoded) return raise_error(encoded->error());
  if (!encoders.fill_rest(encoded->value())) return nullptr;
  return list.release();
}

// Runs `work(cancellation)` without the interpreter lock; signal handlers get their turn on the
// calling thread between pieces of the work. Empty, with the Python exception set, when the work
// threw.
template <typename Work>
auto without_interpreter_lock(Work&& work) {
  return run_without_interpreter_lock([&](InterpreterLockReleased& released) {
    SignalCheckWithoutLock signals(released);
    Cancellation cancellation(&signals);
    return work(cancellation);
  });
}

}  // namespace

PyObject* tokenizer_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* texts_argument = parse_one_argument(args, kwargs, "texts", "O:BpeTokenizer.encode_batch");
  if (texts_argument == nullptr) return nullptr;
  return with_shared_encoding(self, [&](const BpeTokenizer& tokenizer, EncodingCache& cache) -> PyObject* {
    if (streams(texts_argument, tokenizer)) return encode_batch_streamed(self, tokenizer, cache, texts_argument);
    auto texts = batch_texts(texts_argument);
    if (!texts) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(texts->views.size())));
    if (!list) return nullptr;
    BatchEncoderList encoders(list.get(), self, tokenizer, cache);
    auto batch = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
      SignalCheckWithoutLock signals(released);
      Cancellation cancellation(&signals);
      encoders.lock_released(&released);
      return encode_batch(tokenizer, cache, texts->views, cancellation, &encoders);
    });
    if (!batch) return nullptr;
    if (!*batch) return raise_error(batch->error());
    if (!encoders.fill_rest(batch->value())) return nullptr;
    return list.release();
  });
}

PyObject* tokenizer_encode_batch_padded(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {
      "texts",        "max_length",      "padding",    "pad_to_multiple_of", "pad_id",
      "padding_side", "truncation_side", "prefix_ids", "suffix_ids",         "dtype",
      nullptr};
  static const char* const format = "O|$OOOOOOOOO:BpeTokenizer.encode_batch_padded";
  if (!reject_unexpected_keywords(kwargs, keywords, format)) return nullptr;
  PyObject* texts_argument = nullptr;
  PaddingArguments arguments;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &texts_argument,
                                   &arguments.max_length, &arguments.padding, &arguments.pad_to_multiple_of,
                                   &arguments.pad_id, &arguments.padding_side, &arguments.truncation_side,
                                   &arguments.prefix_ids, &arguments.suffix_ids, &arguments.dtype)) {
    return nullptr;
  }
  return with_shared_encoding(self, [&](const BpeTokenizer& tokenizer, EncodingCache& cache) -> PyObject* {
    auto options = padding_options(arguments, tokenizer);
    if (!options) return nullptr;
    auto texts = batch_texts(texts_argument);
    if (!texts) return nullptr;
    auto padded = without_interpreter_lock([&](Cancellation& cancellation) {
      return encode_batch_padded(tokenizer, cache, texts->views, *options, cancellation);
    });
    if (!padded) return nullptr;
    if (!*padded) return raise_error(padded->error());
    if (padded->value().needs_pad_id) {
      PyErr_Format(PyExc_ValueError, "pad_id is needed: some rows are shorter than the width %zu",
                   padded->value().width);
      return nullptr;
    }
    return make_padded_batch(std::move(padded->value()));
  });
}

PyObject* tokenizer_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* batch_argument = parse_one_argument(args, kwargs, "ids_batch", "O:BpeTokenizer.decode_batch");
  if (batch_argument == nullptr) return nullptr;
  return with_shared_encoding(self, [&](const BpeTokenizer& tokenizer, EncodingCache& cache) -> PyObject* {
    auto ids_batch = convert_elements<std::vector<TokenId>>(batch_argument, "ids_batch", decode_batch_prefix,
                                                            [](PyObject* item) { return to_u32_list(item, "ids"); });
    if (!ids_batch) return nullptr;
    auto texts = without_interpreter_lock(
        [&](Cancellation& cancellation) { return decode_batch(tokenizer, cache, *ids_batch, cancellation); });
    if (!texts) return nullptr;
    if (!*texts) return raise_error(texts->error());
    return to_python_text_list(texts->value());
  });
}

}  // namespace wrenmark::python
