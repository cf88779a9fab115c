#include <algorithm>
#include <string>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// Setters change the record, so they need exclusive access, like train(). Deleting an
// attribute is refused: every setting has a value.
template <typename Body>
int set_with_exclusive_tokenizer(PyObject* self, PyObject* value, const char* name, Body&& body) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete attribute '%s'", name);
    return -1;
  }
  PyRef done(with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    if (!body(tokenizer)) return nullptr;
    Py_RETURN_NONE;
  }));
  return done ? 0 : -1;
}

// Sets a boolean setting; other types than bool are refused, as int is by the constructor.
int set_bool_setting(PyObject* self, PyObject* value, const char* name, bool TokenizerSettings::* setting) {
  if (value != nullptr && !PyBool_Check(value)) {
    PyRef type_name(PyType_GetName(Py_TYPE(value)));
    if (type_name) PyErr_Format(PyExc_TypeError, "attribute '%s' must be bool, not '%U'", name, type_name.get());
    return -1;
  }
  return set_with_exclusive_tokenizer(self, value, name, [&](BpeTokenizer& tokenizer) {
    tokenizer.settings.*setting = value == Py_True;
    return true;
  });
}

PyObject* get_bool_setting(PyObject* self, bool TokenizerSettings::* setting) {
  return with_shared_tokenizer(self, [setting](const BpeTokenizer& tokenizer) -> PyObject* {
    return PyBool_FromLong(tokenizer.settings.*setting ? 1 : 0);
  });
}

PyObject* get_unknown_token(PyObject* self, void*) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) -> PyObject* {
    if (!tokenizer.settings.unknown_token) Py_RETURN_NONE;
    return to_python_text(*tokenizer.settings.unknown_token);
  });
}

int set_unknown_token(PyObject* self, PyObject* value, void*) {
  return set_with_exclusive_tokenizer(self, value, "unknown_token", [&](BpeTokenizer& tokenizer) {
    if (value == Py_None) {
      tokenizer.settings.unknown_token.reset();
      return true;
    }
    if (!PyUnicode_Check(value)) {
      PyRef type_name(PyType_GetName(Py_TYPE(value)));
      if (type_name) PyErr_Format(PyExc_TypeError, "unknown_token must be a str or None, not '%U'", type_name.get());
      return false;
    }
    auto token = to_text(value, "unknown_token");
    if (!token) return false;
    const auto& special_tokens = tokenizer.settings.special_tokens;
    if (std::find(special_tokens.begin(), special_tokens.end(), *token) == special_tokens.end()) {
      PyErr_Format(PyExc_ValueError, "the unknown token %R is not one of the special tokens", value);
      return false;
    }
    tokenizer.settings.unknown_token = std::string(*token);
    return true;
  });
}

PyObject* get_show_progress(PyObject* self, void*) { return get_bool_setting(self, &TokenizerSettings::show_progress); }

int set_show_progress(PyObject* self, PyObject* value, void*) {
  return set_bool_setting(self, value, "show_progress", &TokenizerSettings::show_progress);
}

PyObject* get_merge_all_occurrences(PyObject* self, void*) {
  return get_bool_setting(self, &TokenizerSettings::merge_all_occurrences);
}

int set_merge_all_occurrences(PyObject* self, PyObject* value, void*) {
  return set_bool_setting(self, value, "merge_all_occurrences", &TokenizerSettings::merge_all_occurrences);
}

}  // namespace

PyGetSetDef tokenizer_attributes[] = {
    {"unknown_token", get_unknown_token, set_unknown_token,
     "The special token that stands for characters the vocabulary lacks, or None (such characters fail).", nullptr},
    {"show_progress", get_show_progress, set_show_progress, "Whether train() shows its progress on standard error.",
     nullptr},
    {"merge_all_occurrences", get_merge_all_occurrences, set_merge_all_occurrences,
     "Whether train() merges every occurrence of the selected pair, as classic BPE does (default False).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace wrenmark::python
