#include <utility>

#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

// Runs `body(tokenizer)` under the borrow that `Borrow` names, after checking the receiver's
// type; returns -1 with an exception set when either fails.
template <typename Borrow, typename Body>
auto with_attribute_tokenizer(PyObject* self, Body&& body) -> decltype(body(std::declval<BpeTokenizer&>())) {
  using Result = decltype(body(std::declval<BpeTokenizer&>()));
  return guard_exceptions([&]() -> Result {
    if (!PyObject_TypeCheck(self, tokenizer_type())) {
      PyErr_SetString(PyExc_TypeError, "descriptor requires a 'BpeTokenizer' object");
      return Result{};
    }
    auto* object = reinterpret_cast<TokenizerObject*>(self);
    Borrow borrow(object->borrow);
    if (!borrow.held()) return Result{};
    return body(*object->native);
  });
}

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
  return with_attribute_tokenizer<SharedBorrow>(self, [](BpeTokenizer& tokenizer) -> PyObject* {
    return PyBool_FromLong(tokenizer.settings.merge_all_occurrences);
  });
}

int set_merge_all_occurrences(PyObject* self, PyObject* value, void*) {
  if (!check_bool_value(value, "merge_all_occurrences")) return -1;
  const int result = with_attribute_tokenizer<ExclusiveBorrow>(self, [&](BpeTokenizer& tokenizer) {
    tokenizer.settings.merge_all_occurrences = value == Py_True;
    return 1;
  });
  return result == 1 ? 0 : -1;
}

}  // namespace

PyGetSetDef tokenizer_attributes[] = {
    {"merge_all_occurrences", get_merge_all_occurrences, set_merge_all_occurrences,
     "Whether train() merges every occurrence of the selected pair, as classic BPE does (default False).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace wrenmark::python
