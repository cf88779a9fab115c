#include "python_wrapper/text_items_corpus.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

// Text gathered before each write: large enough that writing costs little next to the items.
constexpr std::size_t kWriteBytes = 1 << 20;

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

}  // namespace

std::unique_ptr<TextItemsCorpus> TextItemsCorpus::spool(PyObject* iterable) {
  PyRef iterator(PyObject_GetIter(iterable));
  if (!iterator) return nullptr;

  std::string name = temporary_directory() + "/wrenmark-corpus-XXXXXX";
  std::vector<char> path_template(name.begin(), name.end());
  path_template.push_back('\0');
  const int descriptor = mkstemp(path_template.data());
  if (descriptor < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
    return nullptr;
  }
  std::unique_ptr<TextItemsCorpus> corpus(new TextItemsCorpus(path_template.data(), FileDescriptor(descriptor)));

  std::string pending;
  Py_ssize_t index = 0;
  for (PyRef item(PyIter_Next(iterator.get())); item; item = PyRef(PyIter_Next(iterator.get())), ++index) {
    if (!PyUnicode_Check(item.get())) {
      PyRef type_name(PyType_GetName(Py_TYPE(item.get())));
      if (type_name) PyErr_Format(PyExc_TypeError, "item %zd must be a str, not '%U'", index, type_name.get());
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) {
      prefix_pending_exception("item " + std::to_string(index) + ": ");
      return nullptr;
    }
    if (index > 0) pending.push_back('\n');
    pending.append(text, static_cast<std::size_t>(size));
    if (pending.size() >= kWriteBytes && !corpus->flush(pending)) return nullptr;
  }
  if (PyErr_Occurred() || !corpus->flush(pending)) return nullptr;
  return corpus;
}

bool TextItemsCorpus::flush(std::string& pending) {
  if (const int error = write_all(file_.get(), pending); error != 0) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path_.c_str());
    return false;
  }
  pending.clear();
  return true;
}

TextItemsCorpus::~TextItemsCorpus() { unlink(path_.c_str()); }

}  // namespace wrenmark::python
