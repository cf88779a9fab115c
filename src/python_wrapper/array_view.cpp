#include "python_wrapper/array_view.hpp"

#include <new>

#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

struct ArrayExport {
  PyRef owner;
  ArrayLayout layout;
  Py_ssize_t strides[2];
};

// The object behind the memoryview: memoryview copies nothing but what get_buffer gives it, and
// the arrays' memory lives as long as this object holds their owner.
struct ArrayExportObject {
  PyObject_HEAD
  ArrayExport native;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  ArrayExport& array = reinterpret_cast<ArrayExportObject*>(self)->native;
  if ((flags & PyBUF_WRITABLE) != 0 && array.layout.read_only) {
    PyErr_SetString(PyExc_BufferError, "the array is read-only");
    view->obj = nullptr;
    return -1;
  }
  // An empty array still needs an address.
  static const long long empty = 0;
  Py_ssize_t items = 1;
  for (int dimension = 0; dimension < array.layout.dimensions; ++dimension) items *= array.layout.shape[dimension];
  view->buf = const_cast<void*>(array.layout.data != nullptr ? array.layout.data : &empty);
  view->obj = Py_NewRef(self);
  view->len = items * array.layout.item_size;
  view->itemsize = array.layout.item_size;
  view->readonly = array.layout.read_only ? 1 : 0;
  view->ndim = array.layout.dimensions;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(array.layout.format) : nullptr;
  view->shape = (flags & PyBUF_ND) != 0 ? array.layout.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot array_export_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<ArrayExportObject>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec array_export_spec = {"builtins.ArrayExport", sizeof(ArrayExportObject), 0, Py_TPFLAGS_DEFAULT,
                                 array_export_slots};

PyTypeObject* array_export_type_slot = nullptr;

}  // namespace

PyObject* make_array_view(PyObject* owner, const ArrayLayout& layout) {
  PyTypeObject* type = create_type_once(array_export_type_slot, array_export_spec);
  if (type == nullptr) return nullptr;
  ArrayExport array{PyRef::borrowed(owner), layout, {0, 0}};
  array.strides[layout.dimensions - 1] = layout.item_size;
  if (layout.dimensions == 2) array.strides[0] = layout.shape[1] * layout.item_size;
  PyRef exporter(reinterpret_cast<PyObject*>(allocate_instance<ArrayExportObject>(type, std::move(array))));
  if (!exporter) return nullptr;
  return PyMemoryView_FromObject(exporter.get());
}

}  // namespace wrenmark::python
