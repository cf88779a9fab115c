#include <Python.h>

#include "python_wrapper/counting_functions.hpp"
#include "python_wrapper/encoder_object.hpp"
#include "python_wrapper/enum_objects.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/token_type_object.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "wrenmark", "", -1, counting_functions, nullptr, nullptr, nullptr, nullptr};

// The module is built once per process and belongs to the interpreter that built it.
PyObject* module_instance = nullptr;
PyInterpreterState* owning_interpreter = nullptr;

bool add_class(PyObject* module, PyObject* all, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
  PyRef name_object(PyUnicode_FromString(name));
  return name_object && PyList_Append(all, name_object.get()) == 0;
}

PyObject* create_module() {
  PyRef module(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  PyRef all(PyList_New(0));
  if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
  if (!add_class(module.get(), all.get(), "BpeTokenizer", tokenizer_type()) ||
      !add_class(module.get(), all.get(), "PreTokenization", pre_tokenization_type()) ||
      !add_class(module.get(), all.get(), "SpecialTokenRemovalMethod", special_token_removal_method_type()) ||
      !add_class(module.get(), all.get(), "Encoder", encoder_type()) ||
      !add_class(module.get(), all.get(), "TokenType", token_type_type())) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace wrenmark::python

PyMODINIT_FUNC PyInit_wrenmark() {
  using namespace wrenmark::python;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (module_instance != nullptr) {
    if (interpreter != owning_interpreter) {
      PyErr_SetString(PyExc_ImportError, "wrenmark can be initialised only once per process, in one interpreter");
      return nullptr;
    }
    return Py_NewRef(module_instance);
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  module_instance = Py_NewRef(module);
  owning_interpreter = interpreter;
  return module;
}
