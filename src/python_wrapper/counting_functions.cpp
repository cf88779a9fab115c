// Private functions of the extension for counting a corpus in blocks elsewhere (for example on
// the workers of a cluster) and training from the combined counts, and the settings with which a
// worker rebuilds the counting tokenizer; the contract is in docs/architecture.md, "Counting
// blocks elsewhere".
#include "python_wrapper/counting_functions.hpp"

#include <optional>
#include <string>
#include <vector>

#include "bpe_tokenizer/system/worker_pool.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/counting/distributed_counting.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/interpreter_lock.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/signal_check.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// A bytes-like argument held for the duration of a call.
class BufferArgument {
 public:
  BufferArgument() = default;
  BufferArgument(const BufferArgument&) = delete;
  BufferArgument& operator=(const BufferArgument&) = delete;
  ~BufferArgument() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool acquire(PyObject* object, const char* name) {
    if (PyUnicode_Check(object) || PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      raise_cannot_convert(object, name, "bytes");
      return false;
    }
    held_ = true;
    return true;
  }
  std::string_view bytes() const { return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

std::optional<TokenizerSettings> settings_of(PyObject* object) {
  if (!PyObject_TypeCheck(object, tokenizer_type())) {
    raise_cannot_convert(object, "tokenizer", "BpeTokenizer");
    return std::nullopt;
  }
  auto* tokenizer = reinterpret_cast<TokenizerObject*>(object);
  SharedBorrow borrow(tokenizer->borrow);
  if (!borrow.held()) return std::nullopt;
  return tokenizer->native.tokenizer.settings;
}

// The settings of the tokenizer argument, then the block argument held in `data`; nothing, with
// the exception set, when either does not fit.
std::optional<TokenizerSettings> settings_and_block(PyObject* tokenizer_argument, PyObject* data_argument,
                                                    BufferArgument& data) {
  std::optional<TokenizerSettings> settings = settings_of(tokenizer_argument);
  if (!settings || !data.acquire(data_argument, "data")) return std::nullopt;
  return settings;
}

PyObject* to_python_bytes(const std::string& bytes) {
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* count_words(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tokenizer", "data", "origin", nullptr};
  PyObject* tokenizer_argument = nullptr;
  PyObject* data_argument = nullptr;
  PyObject* origin_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_count_words", const_cast<char**>(keywords), &tokenizer_argument,
                                   &data_argument, &origin_argument)) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    BufferArgument data;
    std::optional<TokenizerSettings> settings = settings_and_block(tokenizer_argument, data_argument, data);
    if (!settings) return nullptr;
    const std::optional<std::uint64_t> origin = to_u64(origin_argument, "origin");
    if (!origin) return nullptr;
    // Only C++ data is touched meanwhile, so other Python threads (a cluster worker's) may run.
    auto table = run_without_interpreter_lock(
        [&](InterpreterLockReleased&) { return count_block_words(*settings, data.bytes(), *origin); });
    if (!table) return nullptr;
    if (!*table) return raise_error(table->error());
    return to_python_bytes(table->value());
  });
}

PyObject* merge_word_counts(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tables", nullptr};
  PyObject* tables_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_merge_word_counts", const_cast<char**>(keywords),
                                   &tables_argument)) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    PyRef sequence(PySequence_Fast(tables_argument, "argument 'tables': expected a sequence of bytes"));
    if (!sequence) return nullptr;
    // Through the calls of the stable ABI; the list or tuple keeps every item alive.
    const Py_ssize_t count = PySequence_Size(sequence.get());
    if (count < 0) return nullptr;
    std::vector<BufferArgument> buffers(static_cast<std::size_t>(count));
    std::vector<std::string_view> tables;
    for (Py_ssize_t index = 0; index < count; ++index) {
      PyRef item(PySequence_GetItem(sequence.get(), index));
      if (!item || !buffers[static_cast<std::size_t>(index)].acquire(item.get(), "tables")) return nullptr;
      tables.push_back(buffers[static_cast<std::size_t>(index)].bytes());
    }
    auto merged =
        run_without_interpreter_lock([&](InterpreterLockReleased&) { return merge_word_count_tables(tables); });
    if (!merged) return nullptr;
    if (!*merged) return raise_error(merged->error());
    return to_python_bytes(merged->value());
  });
}

PyObject* train_from_word_counts(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tokenizer", "table", nullptr};
  PyObject* tokenizer_argument = nullptr;
  PyObject* table_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_train_from_word_counts", const_cast<char**>(keywords),
                                   &tokenizer_argument, &table_argument)) {
    return nullptr;
  }
  if (!PyObject_TypeCheck(tokenizer_argument, tokenizer_type())) {
    raise_cannot_convert(tokenizer_argument, "tokenizer", "BpeTokenizer");
    return nullptr;
  }
  return with_exclusive_tokenizer(tokenizer_argument, [&](BpeTokenizer& tokenizer) -> PyObject* {
    BufferArgument table;
    if (!table.acquire(table_argument, "table")) return nullptr;
    if (!refuse_byte_fallback_fault(tokenizer)) return nullptr;
    // As train(): the interpreter lock is held, so signal handlers run right inside.
    SignalCheck signals;
    Cancellation cancellation(&signals);
    if (Status trained = train_from_word_count_table(tokenizer, table.bytes(), cancellation); !trained) {
      return raise_error(trained.error());
    }
    Py_RETURN_NONE;
  });
}

PyObject* safe_block_end(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tokenizer", "data", "start", "at_end", nullptr};
  PyObject* tokenizer_argument = nullptr;
  PyObject* data_argument = nullptr;
  PyObject* start_argument = nullptr;
  PyObject* at_end_argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:_safe_block_end", const_cast<char**>(keywords),
                                   &tokenizer_argument, &data_argument, &start_argument, &at_end_argument)) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    BufferArgument data;
    std::optional<TokenizerSettings> settings = settings_and_block(tokenizer_argument, data_argument, data);
    if (!settings) return nullptr;
    std::optional<std::uint64_t> start = std::uint64_t{0};
    if (start_argument != nullptr) start = to_u64(start_argument, "start");
    if (!start) return nullptr;
    std::optional<bool> at_end = false;
    if (at_end_argument != nullptr) at_end = to_bool(at_end_argument, "at_end");
    if (!at_end) return nullptr;
    Result<std::optional<std::size_t>> cut = wrenmark::safe_block_end(*settings, data.bytes(), *start, *at_end);
    if (!cut) return raise_error(cut.error());
    if (!cut.value()) return PyLong_FromLong(-1);
    return PyLong_FromSize_t(*cut.value());
  });
}

PyObject* cut_margin(PyObject*, PyObject* tokenizer_argument) {
  return guard_exceptions([&]() -> PyObject* {
    std::optional<TokenizerSettings> settings = settings_of(tokenizer_argument);
    if (!settings) return nullptr;
    Result<std::size_t> margin = block_cut_margin(*settings);
    if (!margin) return raise_error(margin.error());
    return PyLong_FromSize_t(margin.value());
  });
}

PyObject* set_training_block_bytes(PyObject*, PyObject* bytes_argument) {
  return guard_exceptions([&]() -> PyObject* {
    const std::optional<std::uint64_t> bytes = to_u64(bytes_argument, "block_bytes");
    if (!bytes) return nullptr;
    const std::size_t previous = training_block_bytes();
    wrenmark::set_training_block_bytes(*bytes);
    return PyLong_FromSize_t(previous);
  });
}

PyObject* optional_text(const std::optional<std::string>& text) {
  if (!text) return Py_NewRef(Py_None);
  return to_python_text(*text);
}

// _training_settings(tokenizer) -> dict: the constructor's settings and whether a model is
// present, as plain Python values: a tokenizer object does not cross processes, so training on a
// cluster rebuilds an equivalent one on every worker from them.
PyObject* training_settings(PyObject*, PyObject* tokenizer) {
  return with_shared_tokenizer(tokenizer, [](const BpeTokenizer& native) -> PyObject* {
    const TokenizerSettings& settings = native.settings;
    // "N" takes over the new references, also when building the dict fails.
    return Py_BuildValue("{s:N,s:K,s:i,s:N,s:i,s:O,s:N,s:O}", "input_path", to_python_text(settings.input_path),
                         "target_vocab_size", static_cast<unsigned long long>(settings.target_vocab_size),
                         "pretokenization_type", static_cast<int>(settings.pre_tokenization), "special_tokens",
                         to_python_text_list(settings.special_tokens), "special_token_removal_method",
                         static_cast<int>(settings.special_token_removal_method), "save_model",
                         settings.save_model ? Py_True : Py_False, "output_dir", optional_text(settings.output_dir),
                         "is_trained", native.trained() ? Py_True : Py_False);
  });
}

// _worker_pool_usable() -> bool: whether the parallel steps of this process (counting, batches)
// run on the worker pool; false in a forked child of a process that had started it.
PyObject* worker_pool_usable_here(PyObject*, PyObject*) { return PyBool_FromLong(worker_pool_usable() ? 1 : 0); }

}  // namespace

PyMethodDef counting_functions[] = {
    {"_count_words", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_words)),
     METH_VARARGS | METH_KEYWORDS, "_count_words(tokenizer, data, origin)\n--\n\nThe word-count table of one block."},
    {"_merge_word_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_word_counts)),
     METH_VARARGS | METH_KEYWORDS, "_merge_word_counts(tables)\n--\n\nOne table from several."},
    {"_train_from_word_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_from_word_counts)),
     METH_VARARGS | METH_KEYWORDS,
     "_train_from_word_counts(tokenizer, table)\n--\n\nTrains as train() would on the counted corpus."},
    {"_safe_block_end", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(safe_block_end)),
     METH_VARARGS | METH_KEYWORDS,
     "_safe_block_end(tokenizer, data, start=0, at_end=False)\n--\n\nThe first safe cut at or after start, or -1."},
    {"_cut_margin", cut_margin, METH_O, "_cut_margin(tokenizer)\n--\n\nBytes around a cut that decide it."},
    {"_set_training_block_bytes", set_training_block_bytes, METH_O,
     "_set_training_block_bytes(block_bytes)\n--\n\nBlock size of later trainings (0: default); returns the old one."},
    {"_training_settings", training_settings, METH_O,
     "_training_settings(tokenizer)\n--\n\nThe constructor's settings and whether a model is present."},
    {"_worker_pool_usable", worker_pool_usable_here, METH_NOARGS,
     "_worker_pool_usable()\n--\n\nWhether parallel steps run on the worker pool in this process."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenmark::python
