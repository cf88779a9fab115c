#include "python_wrapper/enum_objects.hpp"

#include "python_wrapper/borrow.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

template <typename Enum>
struct EnumObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Enum native;
};

template <typename Enum>
PyObject* make_enum(PyTypeObject* type, Enum value) {
  if (type == nullptr) return nullptr;
  auto* object = allocate_instance<EnumObject<Enum>>(type, value);
  if (object != nullptr) object->borrow = BorrowFlag{};
  return reinterpret_cast<PyObject*>(object);
}

template <typename Enum>
std::optional<Enum> enum_value(PyObject* object, PyTypeObject* type, const char* name, const char* class_name) {
  if (type == nullptr) return std::nullopt;
  if (!PyObject_TypeCheck(object, type)) {
    raise_cannot_convert(object, name, class_name);
    return std::nullopt;
  }
  return reinterpret_cast<EnumObject<Enum>*>(object)->native;
}

// The variant's name, the text that config.json saves it as. Enum objects never change, so no
// borrow is taken.
template <typename Enum>
PyObject* variant_name_of(PyObject* self, void*) {
  return to_python_text(variant_name(reinterpret_cast<EnumObject<Enum>*>(self)->native));
}

PyGetSetDef pre_tokenization_attributes[] = {
    {"name", variant_name_of<PreTokenization>, nullptr, "The variant's name: Whitespace or Punctuation.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef removal_method_attributes[] = {
    {"name", variant_name_of<SpecialTokenRemovalMethod>, nullptr, "The variant's name: Simple or AhoCorasick.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* whitespace(PyObject*, PyObject*) { return make_enum(pre_tokenization_type(), PreTokenization::Whitespace); }
PyObject* punctuation(PyObject*, PyObject*) { return make_enum(pre_tokenization_type(), PreTokenization::Punctuation); }
PyObject* simple(PyObject*, PyObject*) {
  return make_enum(special_token_removal_method_type(), SpecialTokenRemovalMethod::Simple);
}
PyObject* aho_corasick(PyObject*, PyObject*) {
  return make_enum(special_token_removal_method_type(), SpecialTokenRemovalMethod::AhoCorasick);
}

PyMethodDef pre_tokenization_methods[] = {
    {"whitespace", whitespace, METH_NOARGS | METH_STATIC, "whitespace()\n--\n\n"},
    {"punctuation", punctuation, METH_NOARGS | METH_STATIC, "punctuation()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef removal_method_methods[] = {
    {"simple", simple, METH_NOARGS | METH_STATIC, "simple()\n--\n\n"},
    {"aho_corasick", aho_corasick, METH_NOARGS | METH_STATIC, "aho_corasick()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pre_tokenization_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<EnumObject<PreTokenization>>)},
    {Py_tp_methods, pre_tokenization_methods},
    {Py_tp_getset, pre_tokenization_attributes},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Slot removal_method_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<EnumObject<SpecialTokenRemovalMethod>>)},
    {Py_tp_methods, removal_method_methods},
    {Py_tp_getset, removal_method_attributes},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Compatibility: the "builtins." type name and signature-only docstrings stay (docs/architecture.md).
PyType_Spec pre_tokenization_spec = {"builtins.PreTokenization", sizeof(EnumObject<PreTokenization>), 0,
                                     Py_TPFLAGS_DEFAULT, pre_tokenization_slots};
PyType_Spec removal_method_spec = {"builtins.SpecialTokenRemovalMethod", sizeof(EnumObject<SpecialTokenRemovalMethod>),
                                   0, Py_TPFLAGS_DEFAULT, removal_method_slots};

PyTypeObject* pre_tokenization_type_slot = nullptr;
PyTypeObject* removal_method_type_slot = nullptr;

}  // namespace

PyTypeObject* pre_tokenization_type() { return create_type_once(pre_tokenization_type_slot, pre_tokenization_spec); }

PyTypeObject* special_token_removal_method_type() {
  return create_type_once(removal_method_type_slot, removal_method_spec);
}

PyObject* to_python_enum(PreTokenization value) { return make_enum(pre_tokenization_type(), value); }

PyObject* to_python_enum(SpecialTokenRemovalMethod value) {
  return make_enum(special_token_removal_method_type(), value);
}

std::optional<PreTokenization> to_pre_tokenization(PyObject* object, const char* name) {
  return enum_value<PreTokenization>(object, pre_tokenization_type(), name, "PreTokenization");
}

std::optional<SpecialTokenRemovalMethod> to_removal_method(PyObject* object, const char* name) {
  return enum_value<SpecialTokenRemovalMethod>(object, special_token_removal_method_type(), name,
                                               "SpecialTokenRemovalMethod");
}

}  // namespace wrenmark::python
