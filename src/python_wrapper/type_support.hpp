#pragma once

#include <Python.h>

#include <new>

namespace wrenmark::python {

// tp_new for classes that Python code cannot instantiate directly.
inline PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

// Allocates an instance of a heap type without running its tp_new, and constructs the native
// part of the object in place.
template <typename Object, typename... Args>
Object* allocate_instance(PyTypeObject* type, Args&&... args) {
  // Through the slot, not the struct member: the type object is opaque in the stable ABI.
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* raw = allocate(type, 0);
  if (raw == nullptr) return nullptr;
  auto* object = reinterpret_cast<Object*>(raw);
  new (&object->native) decltype(object->native)(std::forward<Args>(args)...);
  return object;
}

// tp_dealloc for heap types whose instances carry a C++ member called `native`.
template <typename Object>
void destroy_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Native = decltype(reinterpret_cast<Object*>(self)->native);
  reinterpret_cast<Object*>(self)->native.~Native();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Creates a heap type from `spec` once per process and hands out the same type afterwards.
inline PyTypeObject* create_type_once(PyTypeObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return slot;
}

}  // namespace wrenmark::python
