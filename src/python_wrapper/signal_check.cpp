#include "python_wrapper/signal_check.hpp"

#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

bool on_main_thread() {
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef main_thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  PyRef ident(main_thread ? PyObject_GetAttrString(main_thread.get(), "ident") : nullptr);
  if (!ident) {
    PyErr_Clear();
    return false;
  }
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return false;
  }
  return main_ident == PyThread_get_thread_ident();
}

}  // namespace wrenmark::python
