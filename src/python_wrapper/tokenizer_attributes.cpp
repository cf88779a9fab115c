#include <algorithm>
#include <string>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// Setters change the record, so they need exclusive access, like train().
template <typename Body>
int set_with_exclusive_tokenizer(PyObject* self, PyObject* value, const char* name, Body&& body) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete the attribute '%s'", name);
    return -1;
  }
  PyObject* done = with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    if (!body(tokenizer)) return nullptr;
    Py_RETURN_NONE;
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
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
      PyErr_Format(PyExc_TypeError, "unknown_token must be a str or None, not '%s'", Py_TYPE(value)->tp_name);
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

PyObject* get_show_progress(PyObject* self, void*) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) -> PyObject* {
    return PyBool_FromLong(tokenizer.settings.show_progress ? 1 : 0);
  });
}

int set_show_progress(PyObject* self, PyObject* value, void*) {
  return set_with_exclusive_tokenizer(self, value, "show_progress", [&](BpeTokenizer& tokenizer) {
    auto show = to_bool(value, "show_progress");
    if (!show) return false;
    tokenizer.settings.show_progress = *show;
    return true;
  });
}

PyGetSetDef tokenizer_attributes[] = {
    {"unknown_token", get_unknown_token, set_unknown_token,
     "The special token that stands for characters the vocabulary lacks, or None (such characters fail).",
     nullptr},
    {"show_progress", get_show_progress, set_show_progress,
     "Whether train() shows its progress on standard error.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef* tokenizer_getset() { return tokenizer_attributes; }

}  // namespace wrenmark::python
