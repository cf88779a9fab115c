#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

// Argument conversion. Each function returns nullopt with a Python exception set when the
// object does not fit. A TypeError is reworded as "argument '{name}': {reason}"; OverflowError
// and UnicodeEncodeError pass through unchanged.

// Raises TypeError "argument '{name}': '{type}' object cannot be converted to '{expected}'".
void raise_cannot_convert(PyObject* object, const char* name, const char* expected);

// A `str`, as a view of its UTF-8 form (valid while the object lives). Inline, so that a batch's
// loop over its texts keeps the view in registers instead of reading back a returned optional
// right after it was stored, a stall per text.
inline std::optional<std::string_view> to_text(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, name, "PyString");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}
// An integer (anything with __index__) from 0 to 2^64 - 1.
std::optional<std::uint64_t> to_u64(PyObject* object, const char* name);
// An integer from 0 to 2^32 - 1.
std::optional<std::uint32_t> to_u32(PyObject* object, const char* name);
// `True` or `False` exactly.
std::optional<bool> to_bool(PyObject* object, const char* name);
// A sequence other than `str` whose elements are all `str`.
std::optional<std::vector<std::string>> to_text_list(PyObject* object, const char* name);
// A sequence other than `str` whose elements are integers from 0 to 2^32 - 1.
std::optional<std::vector<std::uint32_t>> to_u32_list(PyObject* object, const char* name);

// Calls `on_item(item)` (a borrowed reference) for every element of a list argument (a sequence
// other than `str`), in order, until it returns false. False with an exception set when the
// argument does not fit or `on_item` failed.
bool for_each_list_item(PyObject* object, const char* name, const std::function<bool(PyObject*)>& on_item);

// Puts `prefix` before the text of the pending exception: its single text argument is
// replaced, and an exception without one (UnicodeEncodeError) gets the prefix as a note.
void prefix_pending_exception(const std::string& prefix);

// Parses the one argument of a method called as `format` says ("O:Class.method"), by position or
// as `keyword`; returns it borrowed, or nullptr with the interpreter's TypeError set.
PyObject* parse_one_argument(PyObject* args, PyObject* kwargs, const char* keyword, const char* format);
// The same for a method called the vectorcall way (METH_FASTCALL | METH_KEYWORDS), which spares
// the usual call its argument tuple; every other form goes through the parser as above.
PyObject* parse_one_argument(PyObject* const* args, Py_ssize_t count, PyObject* keyword_names, const char* keyword,
                             const char* format);

// Raises TypeError "{function}() got an unexpected keyword argument '{key}'" for the first key of
// `kwargs` that the nullptr-terminated `keywords` lacks, as the interpreter does for a function
// written in Python, and returns false; `format` ends in ":{function}". Run before
// PyArg_ParseTupleAndKeywords, which would report a missing argument first.
bool reject_unexpected_keywords(PyObject* kwargs, const char* const* keywords, const char* format);

// Fills slot `index` of a list fresh from PyList_New, taking over `item`. The stable ABI has no
// direct store, only the checked call.
inline void set_new_list_item(PyObject* list, Py_ssize_t index, PyObject* item) {
#ifdef Py_LIMITED_API
  PyList_SetItem(list, index, item);
#else
  PyList_SET_ITEM(list, index, item);
#endif
}

// A new list of `make_item(index)` for every index below `count`, each a new reference; nullptr
// with the exception set when an item cannot be made.
template <typename MakeItem>
PyObject* build_list(std::size_t count, MakeItem&& make_item) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < count; ++index) {
    PyObject* item = make_item(index);
    if (item == nullptr) return nullptr;
    set_new_list_item(list.get(), static_cast<Py_ssize_t>(index), item);
  }
  return list.release();
}

// A new `str` from UTF-8 text.
PyObject* to_python_text(std::string_view text);
// A new `list` of `str`.
PyObject* to_python_text_list(const std::vector<std::string>& texts);

}  // namespace wrenmark::python
