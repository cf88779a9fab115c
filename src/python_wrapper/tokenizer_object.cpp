#include "python_wrapper/tokenizer_object.hpp"

#include <optional>
#include <string>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/enum_objects.hpp"
#include "python_wrapper/pickling.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

// Converts the constructor's arguments one after the other, in parameter order, stopping at
// the first that does not fit.
std::optional<BpeTokenizer> tokenizer_from_arguments(PyObject* input_path, PyObject* target_vocab_size,
                                                     PyObject* pretokenization_type, PyObject* special_tokens,
                                                     PyObject* removal_method, PyObject* save_model,
                                                     PyObject* output_dir) {
  TokenizerSettings settings;
  auto path = to_text(input_path, "input_path");
  if (!path) return std::nullopt;
  settings.input_path = std::string(*path);

  auto target = to_u64(target_vocab_size, "target_vocab_size");
  if (!target) return std::nullopt;
  settings.target_vocab_size = *target;

  auto pre_tokenization = to_pre_tokenization(pretokenization_type, "pretokenization_type");
  if (!pre_tokenization) return std::nullopt;
  settings.pre_tokenization = *pre_tokenization;

  if (special_tokens != nullptr) {
    auto tokens = to_text_list(special_tokens, "special_tokens");
    if (!tokens) return std::nullopt;
    settings.special_tokens = std::move(*tokens);
  }
  if (removal_method != nullptr && removal_method != Py_None) {
    auto method = to_removal_method(removal_method, "special_token_removal_method");
    if (!method) return std::nullopt;
    settings.special_token_removal_method = *method;
  }
  if (save_model != nullptr) {
    auto save = to_bool(save_model, "save_model");
    if (!save) return std::nullopt;
    settings.save_model = *save;
  }
  if (output_dir != nullptr && output_dir != Py_None) {
    auto directory = to_text(output_dir, "output_dir");
    if (!directory) return std::nullopt;
    settings.output_dir = std::string(*directory);
  }
  return BpeTokenizer(std::move(settings));
}

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"input_path",
                                   "target_vocab_size",
                                   "pretokenization_type",
                                   "special_tokens",
                                   "special_token_removal_method",
                                   "save_model",
                                   "output_dir",
                                   nullptr};
  static const char* const format = "OOO|OOOO:BpeTokenizer.__new__";
  if (!reject_unexpected_keywords(kwargs, keywords, format)) return nullptr;
  PyObject* arguments[7] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &arguments[0], &arguments[1],
                                   &arguments[2], &arguments[3], &arguments[4], &arguments[5], &arguments[6])) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    auto tokenizer = tokenizer_from_arguments(arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                                              arguments[5], arguments[6]);
    if (!tokenizer) return nullptr;
    auto* object = allocate_instance<TokenizerObject>(type, std::move(*tokenizer));
    if (object != nullptr) object->borrow = BorrowFlag{};
    return reinterpret_cast<PyObject*>(object);
  });
}

PyObject* tokenizer_repr(PyObject* self) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) {
    const std::string text = "BpeTokenizer(vocab_size=" + std::to_string(tokenizer.vocab_size()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <auto Function>
constexpr PyCFunction keyword_method() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef tokenizer_methods[] = {
    {"train", tokenizer_train, METH_NOARGS, "train($self)\n--\n\n"},
    {"train_from_iterator", keyword_method<tokenizer_train_from_iterator>(), METH_VARARGS | METH_KEYWORDS,
     "train_from_iterator($self, iterator, length=None)\n--\n\n"},
    {"train_from_word_counts", keyword_method<tokenizer_train_from_word_counts>(), METH_VARARGS | METH_KEYWORDS,
     "train_from_word_counts($self, counts)\n--\n\n"},
    {"encode", keyword_method<tokenizer_encode>(), METH_FASTCALL | METH_KEYWORDS, "encode($self, text)\n--\n\n"},
    {"decode", keyword_method<tokenizer_decode>(), METH_VARARGS | METH_KEYWORDS, "decode($self, ids)\n--\n\n"},
    {"get_id_by_token", keyword_method<tokenizer_get_id_by_token>(), METH_VARARGS | METH_KEYWORDS,
     "get_id_by_token($self, token)\n--\n\n"},
    {"get_token_by_id", keyword_method<tokenizer_get_token_by_id>(), METH_VARARGS | METH_KEYWORDS,
     "get_token_by_id($self, id)\n--\n\n"},
    {"from_pretrained", keyword_method<tokenizer_from_pretrained>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_pretrained(files_path)\n--\n\n"},
    {"encode_batch", keyword_method<tokenizer_encode_batch>(), METH_VARARGS | METH_KEYWORDS,
     "encode_batch($self, texts)\n--\n\nEncodes every text on all cores; equal to [encode(t) for t in texts]."},
    {"encode_batch_padded", keyword_method<tokenizer_encode_batch_padded>(), METH_VARARGS | METH_KEYWORDS,
     "encode_batch_padded($self, texts, *, max_length=None, padding='longest', pad_to_multiple_of=None, "
     "pad_id=None, padding_side='right', truncation_side='right', prefix_ids=(), suffix_ids=(), dtype='int64')\n--\n\n"
     "Encodes every text on all cores into one padded matrix of ids, with its attention mask and row lengths."},
    {"decode_batch", keyword_method<tokenizer_decode_batch>(), METH_VARARGS | METH_KEYWORDS,
     "decode_batch($self, ids_batch)\n--\n\nDecodes every id list on all cores; equal to [decode(i) for i in "
     "ids_batch]."},
    {"save", keyword_method<tokenizer_save>(), METH_VARARGS | METH_KEYWORDS,
     "save($self, output_dir)\n--\n\nWrites the model directory, as train() does with save_model=True."},
    {"continue_training", keyword_method<tokenizer_continue_training>(), METH_VARARGS | METH_KEYWORDS,
     "continue_training($self, source, target_vocab_size)\n--\n\n"},
    {"__reduce__", tokenizer_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__copy__", tokenizer_copy, METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", tokenizer_deepcopy, METH_O, "__deepcopy__($self, memo)\n--\n\n"},
    // Private: what an export needs (wrenmark.hf): vocabulary, merges by rank, special tokens and
    // pre-tokenization, or None before training.
    {"_export_model", tokenizer_export_model, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tokenizer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<TokenizerObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(tokenizer_repr)},
    {Py_tp_methods, tokenizer_methods},
    {Py_tp_getset, tokenizer_attributes},
    {Py_tp_doc,
     const_cast<char*>("BpeTokenizer(input_path, target_vocab_size, pretokenization_type, special_tokens=..., "
                       "special_token_removal_method=None, save_model=False, output_dir=None)\n--\n\n")},
    {0, nullptr},
};

// Compatibility: the "builtins." type name and signature-only docstrings stay (docs/architecture.md).
PyType_Spec tokenizer_spec = {"builtins.BpeTokenizer", sizeof(TokenizerObject), 0, Py_TPFLAGS_DEFAULT, tokenizer_slots};

PyTypeObject* tokenizer_type_slot = nullptr;

}  // namespace

PyTypeObject* tokenizer_type() { return create_type_once(tokenizer_type_slot, tokenizer_spec); }

PyObject* make_tokenizer_object(BpeTokenizer&& tokenizer) {
  PyTypeObject* type = tokenizer_type();
  if (type == nullptr) return nullptr;
  auto* object = allocate_instance<TokenizerObject>(type, std::move(tokenizer));
  if (object != nullptr) object->borrow = BorrowFlag{};
  return reinterpret_cast<PyObject*>(object);
}

PyObject* make_loaded_tokenizer_object(BpeTokenizer&& tokenizer) {
  PyRef object(make_tokenizer_object(std::move(tokenizer)));
  if (!object) return nullptr;
  TokenizerState& state = reinterpret_cast<TokenizerObject*>(object.get())->native;
  if (state.tokenizer.trained()) state.encoding_cache.prepare(state.tokenizer);
  return object.release();
}

}  // namespace wrenmark::python
