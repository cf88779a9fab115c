#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// Checks a value given to a boolean attribute: deleting it and other types than bool are refused.
bool check_bool_value(PyObject* value, const char* name) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete attribute '%s'", name);
    return false;
  }
  if (!PyBool_Check(value)) {
    PyRef type_name(PyType_GetName(Py_TYPE(value)));
    if (type_name) PyErr_Format(PyExc_TypeError, "attribute '%s' must be bool, not '%U'", name, type_name.get());
    return false;
  }
  return true;
}

PyObject* get_merge_all_occurrences(PyObject* self, void*) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) -> PyObject* {
    return PyBool_FromLong(tokenizer.settings.merge_all_occurrences);
  });
}

int set_merge_all_occurrences(PyObject* self, PyObject* value, void*) {
  if (!check_bool_value(value, "merge_all_occurrences")) return -1;
  PyRef done(with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    tokenizer.settings.merge_all_occurrences = value == Py_True;
    Py_RETURN_NONE;
  }));
  return done ? 0 : -1;
}

}  // namespace

PyGetSetDef tokenizer_attributes[] = {
    {"merge_all_occurrences", get_merge_all_occurrences, set_merge_all_occurrences,
     "Whether train() merges every occurrence of the selected pair, as classic BPE does (default False).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace wrenmark::python
