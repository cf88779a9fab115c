#pragma once

// The kinds of attribute that BpeTokenizer shows its settings and sizes through. Each helper
// makes one entry of the type's attribute table from a field of `TokenizerSettings`; the kind of
// the field picks how it is read and, where it may be set, how a value is checked.

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/enum_objects.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace setting_attributes {

inline PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }
inline PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(const std::vector<std::string>& texts) { return to_python_text_list(texts); }
inline PyObject* to_python(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return to_python_text(*text);
}
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(const std::optional<std::uint64_t>& count) {
  if (!count) Py_RETURN_NONE;
  return to_python(*count);
}
inline PyObject* to_python(PreTokenization value) { return to_python_enum(value); }
inline PyObject* to_python(SpecialTokenRemovalMethod value) { return to_python_enum(value); }

template <auto Field>
PyObject* get_setting(PyObject* self, void*) {
  return with_shared_tokenizer(self,
                               [](const BpeTokenizer& tokenizer) { return to_python(tokenizer.settings.*Field); });
}

template <std::size_t (BpeTokenizer::*Size)() const>
PyObject* get_size(PyObject* self, void*) {
  return with_shared_tokenizer(
      self, [](const BpeTokenizer& tokenizer) -> PyObject* { return PyLong_FromSize_t((tokenizer.*Size)()); });
}

// Setters change the record, so they need exclusive access, like train(). Deleting an
// attribute is refused: every setting has a value. `closure` is the attribute's name.
template <typename Body>
int set_with_exclusive_tokenizer(PyObject* self, PyObject* value, void* closure, Body&& body) {
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "cannot delete attribute '%s'", static_cast<const char*>(closure));
    return -1;
  }
  PyRef done(with_exclusive_tokenizer(self, [&](BpeTokenizer& tokenizer) -> PyObject* {
    if (!body(tokenizer)) return nullptr;
    Py_RETURN_NONE;
  }));
  return done ? 0 : -1;
}

inline bool accept_any_flag(const TokenizerSettings&, bool) { return true; }

// Other types than bool are refused, as int is by the constructor. `Check(settings, flag)`
// accepts the new value, or raises and returns false.
template <auto Field, auto Check = accept_any_flag>
int set_flag(PyObject* self, PyObject* value, void* closure) {
  if (value != nullptr && !PyBool_Check(value)) {
    PyRef type_name(PyType_GetName(Py_TYPE(value)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError, "attribute '%s' must be bool, not '%U'", static_cast<const char*>(closure),
                   type_name.get());
    }
    return -1;
  }
  return set_with_exclusive_tokenizer(self, value, closure, [&](BpeTokenizer& tokenizer) {
    if (!Check(tokenizer.settings, value == Py_True)) return false;
    tokenizer.settings.*Field = value == Py_True;
    return true;
  });
}

inline void raise_wrong_type(PyObject* value, const char* name, const char* expected) {
  PyRef type_name(PyType_GetName(Py_TYPE(value)));
  if (type_name) PyErr_Format(PyExc_TypeError, "%s must be %s, not '%U'", name, expected, type_name.get());
}

// A float or int (bool refused) in [0, 1).
template <auto Field>
int set_probability(PyObject* self, PyObject* value, void* closure) {
  const char* name = static_cast<const char*>(closure);
  if (value != nullptr && (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value)))) {
    raise_wrong_type(value, name, "a float");
    return -1;
  }
  return set_with_exclusive_tokenizer(self, value, closure, [&](BpeTokenizer& tokenizer) {
    const double probability = PyFloat_AsDouble(value);
    if (probability == -1.0 && PyErr_Occurred()) return false;
    if (std::isnan(probability) || probability < 0.0 || probability >= 1.0) {
      PyErr_Format(PyExc_ValueError, "%s must be in [0, 1), not %R", name, value);
      return false;
    }
    tokenizer.settings.*Field = probability;
    return true;
  });
}

// A str or None. `Check(settings, value, text)` accepts the text, or raises and returns false.
template <auto Field, auto Check>
int set_optional_text(PyObject* self, PyObject* value, void* closure) {
  return set_with_exclusive_tokenizer(self, value, closure, [&](BpeTokenizer& tokenizer) {
    if (value == Py_None) {
      (tokenizer.settings.*Field).reset();
      return true;
    }
    if (!PyUnicode_Check(value)) {
      PyRef type_name(PyType_GetName(Py_TYPE(value)));
      if (type_name) {
        PyErr_Format(PyExc_TypeError, "%s must be a str or None, not '%U'", static_cast<const char*>(closure),
                     type_name.get());
      }
      return false;
    }
    auto text = to_text(value, static_cast<const char*>(closure));
    if (!text || !Check(tokenizer.settings, value, *text)) return false;
    tokenizer.settings.*Field = std::string(*text);
    return true;
  });
}

// An int of at least `minimum`; bool, although an int, is refused like any other type, with a
// message that names the `expected` values.
inline std::optional<std::uint64_t> to_count(PyObject* value, const char* name, std::uint64_t minimum,
                                             const char* expected = "an int") {
  if (PyBool_Check(value) || !PyLong_Check(value)) {
    raise_wrong_type(value, name, expected);
    return std::nullopt;
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (small == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && small < static_cast<long long>(minimum))) {
    PyErr_Format(PyExc_ValueError, "%s must be at least %llu, not %R", name, static_cast<unsigned long long>(minimum),
                 value);
    return std::nullopt;
  }
  if (overflow == 0) return static_cast<std::uint64_t>(small);
  const unsigned long long large = PyLong_AsUnsignedLongLong(value);
  if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be below 2**64, not %R", name, value);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(large);
}

// An int of at least `Minimum`.
template <auto Field, std::uint64_t Minimum>
int set_count(PyObject* self, PyObject* value, void* closure) {
  return set_with_exclusive_tokenizer(self, value, closure, [&](BpeTokenizer& tokenizer) {
    auto count = to_count(value, static_cast<const char*>(closure), Minimum);
    if (!count) return false;
    tokenizer.settings.*Field = *count;
    return true;
  });
}

// An int of at least `Minimum`, or None.
template <auto Field, std::uint64_t Minimum>
int set_optional_count(PyObject* self, PyObject* value, void* closure) {
  return set_with_exclusive_tokenizer(self, value, closure, [&](BpeTokenizer& tokenizer) {
    if (value == Py_None) {
      (tokenizer.settings.*Field).reset();
      return true;
    }
    std::optional<std::uint64_t> count = to_count(value, static_cast<const char*>(closure), Minimum, "an int or None");
    if (!count) return false;
    tokenizer.settings.*Field = count;
    return true;
  });
}

}  // namespace setting_attributes

// A bool setting that may be set.
template <auto Field>
constexpr PyGetSetDef flag_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_flag<Field>, doc,
          const_cast<char*>(name)};
}

// A bool setting that may be set to a value that `Check(settings, flag)` accepts.
template <auto Field, auto Check>
constexpr PyGetSetDef checked_flag_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_flag<Field, Check>, doc,
          const_cast<char*>(name)};
}

// A probability in [0, 1) that may be set.
template <auto Field>
constexpr PyGetSetDef probability_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_probability<Field>, doc,
          const_cast<char*>(name)};
}

// An optional text setting that may be set to a str that `Check` accepts, or to None.
template <auto Field, auto Check>
constexpr PyGetSetDef optional_text_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_optional_text<Field, Check>, doc,
          const_cast<char*>(name)};
}

// A count setting that may be set to an int of at least `Minimum`.
template <auto Field, std::uint64_t Minimum>
constexpr PyGetSetDef count_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_count<Field, Minimum>, doc,
          const_cast<char*>(name)};
}

// A count setting that may be set to an int of at least `Minimum`, or to None.
template <auto Field, std::uint64_t Minimum>
constexpr PyGetSetDef optional_count_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, setting_attributes::set_optional_count<Field, Minimum>, doc,
          const_cast<char*>(name)};
}

// A setting that only the constructor sets (or loading restores).
template <auto Field>
constexpr PyGetSetDef read_only_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_setting<Field>, nullptr, doc, nullptr};
}

// A size of the model, 0 before training.
template <std::size_t (BpeTokenizer::*Size)() const>
constexpr PyGetSetDef size_attribute(const char* name, const char* doc) noexcept {
  return {name, setting_attributes::get_size<Size>, nullptr, doc, nullptr};
}

}  // namespace wrenmark::python
