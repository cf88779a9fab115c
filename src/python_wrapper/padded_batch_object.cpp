#include "python_wrapper/padded_batch_object.hpp"

#include "python_wrapper/array_view.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

// Nothing changes the arrays but their users, through the views, which are writable: the
// object is the only owner, and a training loop may well mask or shift ids in place.
struct PaddedBatchObject {
  PyObject_HEAD
  PaddedIds native;
};

const PaddedIds& padded_of(PyObject* self) { return reinterpret_cast<PaddedBatchObject*>(self)->native; }

const char* format_of(PaddedElement element) {
  switch (element) {
    case PaddedElement::Int64: return "q";
    case PaddedElement::Int32: return "i";
    case PaddedElement::UInt32: return "I";
  }
  return "q";
}

PyObject* matrix_view(PyObject* self, const ArrayBytes& matrix) {
  const PaddedIds& padded = padded_of(self);
  return make_array_view(self,
                         ArrayLayout{matrix.data(),
                                     format_of(padded.element),
                                     static_cast<Py_ssize_t>(element_size(padded.element)),
                                     2,
                                     {static_cast<Py_ssize_t>(padded.rows), static_cast<Py_ssize_t>(padded.width)},
                                     false});
}

PyObject* get_ids(PyObject* self, void*) {
  return guard_exceptions([&] { return matrix_view(self, padded_of(self).ids); });
}

PyObject* get_attention_mask(PyObject* self, void*) {
  return guard_exceptions([&] { return matrix_view(self, padded_of(self).attention_mask); });
}

PyObject* get_lengths(PyObject* self, void*) {
  return guard_exceptions([&] {
    const PaddedIds& padded = padded_of(self);
    return make_array_view(self, ArrayLayout{padded.lengths.data(),
                                             format_of(padded.element),
                                             static_cast<Py_ssize_t>(element_size(padded.element)),
                                             1,
                                             {static_cast<Py_ssize_t>(padded.rows), 0},
                                             false});
  });
}

PyGetSetDef padded_batch_getset[] = {
    {"ids", get_ids, nullptr, "The ids, one row per text, padded to one width (a memoryview).", nullptr},
    {"attention_mask", get_attention_mask, nullptr, "1 where a row holds a token, 0 where it is padding.", nullptr},
    {"lengths", get_lengths, nullptr, "The number of tokens of every row, prefix and suffix included.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot padded_batch_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<PaddedBatchObject>)},
    {Py_tp_getset, padded_batch_getset},
    {Py_tp_doc,
     const_cast<char*>("The ids of a batch as padded matrices: the result of BpeTokenizer.encode_batch_padded.")},
    {0, nullptr},
};

PyType_Spec padded_batch_spec = {"builtins.PaddedBatch", sizeof(PaddedBatchObject), 0, Py_TPFLAGS_DEFAULT,
                                 padded_batch_slots};

PyTypeObject* padded_batch_type_slot = nullptr;

}  // namespace

PyObject* make_padded_batch(PaddedIds&& padded) {
  PyTypeObject* type = create_type_once(padded_batch_type_slot, padded_batch_spec);
  if (type == nullptr) return nullptr;
  return reinterpret_cast<PyObject*>(allocate_instance<PaddedBatchObject>(type, std::move(padded)));
}

}  // namespace wrenmark::python
