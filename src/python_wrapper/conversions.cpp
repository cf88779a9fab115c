#include "python_wrapper/conversions.hpp"

#include <cstring>
#include <limits>

#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

void raise_argument_type_error(const char* name, const char* reason) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, reason);
}

// Rewords a pending TypeError as "argument '{name}': {its text}"; other exceptions stay.
void wrap_pending_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raised = PyErr_GetRaisedException();
  PyRef reason(PyObject_Str(raised));
  Py_DECREF(raised);
  if (!reason) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
}

// Checks the sequence protocol the way list arguments require, refusing `str` explicitly.
bool check_list_argument(PyObject* object, const char* name) {
  if (PyUnicode_Check(object)) {
    raise_argument_type_error(name, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, name, "Sequence");
    return false;
  }
  return true;
}

template <typename Element, typename Convert>
std::optional<std::vector<Element>> collect_elements(PyObject* object, const char* name, Convert convert) {
  if (!check_list_argument(object, name)) return std::nullopt;
  std::vector<Element> elements;
  const Py_ssize_t size_hint = PySequence_Size(object);
  if (size_hint > 0) elements.reserve(static_cast<std::size_t>(size_hint));
  if (size_hint < 0) PyErr_Clear();
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    wrap_pending_type_error(name);
    return std::nullopt;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    auto element = convert(item.get());
    if (!element) return std::nullopt;
    elements.push_back(std::move(*element));
  }
  if (PyErr_Occurred()) {
    wrap_pending_type_error(name);
    return std::nullopt;
  }
  return elements;
}

}  // namespace

bool for_each_list_item(PyObject* object, const char* name, const std::function<bool(PyObject*)>& on_item) {
  if (!check_list_argument(object, name)) return false;
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    wrap_pending_type_error(name);
    return false;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!on_item(item.get())) return false;
  }
  if (PyErr_Occurred()) {
    wrap_pending_type_error(name);
    return false;
  }
  return true;
}

void prefix_pending_exception(const std::string& prefix) {
  PyRef raised(PyErr_GetRaisedException());
  if (!raised) return;
  PyRef arguments(PyObject_GetAttrString(raised.get(), "args"));
  bool prefixed = false;
  PyObject* message = arguments && PyTuple_Check(arguments.get()) && PyTuple_Size(arguments.get()) == 1
                          ? PyTuple_GetItem(arguments.get(), 0)
                          : nullptr;
  if (message != nullptr && PyUnicode_Check(message)) {
    PyRef text(PyUnicode_FromFormat("%s%U", prefix.c_str(), message));
    PyRef replaced(text ? PyTuple_Pack(1, text.get()) : nullptr);
    prefixed = replaced && PyObject_SetAttrString(raised.get(), "args", replaced.get()) == 0;
  }
  if (!prefixed) {
    PyErr_Clear();
    const std::string note = prefix.substr(0, prefix.find_last_not_of(": ") + 1);
    PyRef result(PyObject_CallMethod(raised.get(), "add_note", "s", note.c_str()));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(raised.release());
}

PyObject* parse_one_argument(PyObject* args, PyObject* kwargs, const char* keyword, const char* format) {
  // The usual call, one positional argument, needs no parsing; every other form, and every
  // error message, comes from the parser.
  if (kwargs == nullptr && PyTuple_Check(args) && PyTuple_Size(args) == 1) return PyTuple_GetItem(args, 0);
  const char* keywords[] = {keyword, nullptr};
  if (!reject_unexpected_keywords(kwargs, keywords, format)) return nullptr;
  PyObject* argument = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &argument)) return nullptr;
  return argument;
}

PyObject* parse_one_argument(PyObject* const* args, Py_ssize_t count, PyObject* keyword_names, const char* keyword,
                             const char* format) {
  if (keyword_names == nullptr && count == 1) return args[0];
  // The parser's messages need the classic form: a tuple of the positional arguments and a dict
  // of the keyword ones. The caller's references keep the objects alive after these are freed.
  PyRef positional(PyTuple_New(count));
  if (!positional) return nullptr;
  for (Py_ssize_t index = 0; index < count; ++index) PyTuple_SetItem(positional.get(), index, Py_NewRef(args[index]));
  PyRef keywords;
  if (keyword_names != nullptr) {
    keywords = PyRef(PyDict_New());
    if (!keywords) return nullptr;
    const Py_ssize_t keyword_count = PyTuple_Size(keyword_names);
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
      if (PyDict_SetItem(keywords.get(), PyTuple_GetItem(keyword_names, index), args[count + index]) < 0) {
        return nullptr;
      }
    }
  }
  return parse_one_argument(positional.get(), keywords.get(), keyword, format);
}

bool reject_unexpected_keywords(PyObject* kwargs, const char* const* keywords, const char* format) {
  if (kwargs == nullptr) return true;
  PyObject* key = nullptr;
  Py_ssize_t position = 0;
  while (PyDict_Next(kwargs, &position, &key, nullptr)) {
    bool known = false;
    for (const char* const* keyword = keywords; *keyword != nullptr && !known; ++keyword) {
      known = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, *keyword) == 0;
    }
    if (!known) {
      const char* function = std::strchr(format, ':');
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                   function != nullptr ? function + 1 : format, key);
      return false;
    }
  }
  return true;
}

PyObject* to_python_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_python_text_list(const std::vector<std::string>& texts) {
  return build_list(texts.size(), [&](std::size_t index) { return to_python_text(texts[index]); });
}

void raise_cannot_convert(PyObject* object, const char* name, const char* expected) {
  PyRef type_name(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name, type_name.get(),
               expected);
}

std::optional<std::uint64_t> to_u64(PyObject* object, const char* name) {
  PyRef index(PyNumber_Index(object));
  if (!index) {
    wrap_pending_type_error(name);
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

std::optional<std::uint32_t> to_u32(PyObject* object, const char* name) {
  auto wide = to_u64(object, name);
  if (!wide) return std::nullopt;
  if (*wide > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*wide);
}

std::optional<bool> to_bool(PyObject* object, const char* name) {
  if (!PyBool_Check(object)) {
    raise_cannot_convert(object, name, "PyBool");
    return std::nullopt;
  }
  return object == Py_True;
}

std::optional<std::vector<std::string>> to_text_list(PyObject* object, const char* name) {
  return collect_elements<std::string>(object, name, [name](PyObject* item) -> std::optional<std::string> {
    auto text = to_text(item, name);
    if (!text) return std::nullopt;
    return std::string(*text);
  });
}

std::optional<std::vector<std::uint32_t>> to_u32_list(PyObject* object, const char* name) {
  return collect_elements<std::uint32_t>(object, name, [name](PyObject* item) { return to_u32(item, name); });
}

}  // namespace wrenmark::python
