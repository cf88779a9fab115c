#include "python_wrapper/token_type_object.hpp"

#include "python_wrapper/borrow.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

struct TokenTypeObject {
  PyObject_HEAD
  BorrowFlag borrow;
  TokenType native;
};

TokenType value_of(PyObject* object) { return reinterpret_cast<TokenTypeObject*>(object)->native; }

PyObject* token_type_repr(PyObject* self) {
  switch (value_of(self)) {
    case TokenType::Word: return PyUnicode_FromString("TokenType.WORD");
    case TokenType::Subword: return PyUnicode_FromString("TokenType.SUBWORD");
    case TokenType::SpecialToken: return PyUnicode_FromString("TokenType.SPECIALTOKEN");
  }
  return PyUnicode_FromString("TokenType.?");
}

PyObject* token_type_int(PyObject* self) { return PyLong_FromLong(static_cast<long>(value_of(self))); }

// Equality with another TokenType or with any integer-like object; no ordering.
PyObject* token_type_compare(PyObject* self, PyObject* other, int operation) {
  if (!PyObject_TypeCheck(self, token_type_type()) || (operation != Py_EQ && operation != Py_NE)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const long long own = static_cast<long long>(value_of(self));
  bool equal = false;
  PyRef index(PyNumber_Index(other));
  long long other_value = 0;
  bool converted = false;
  if (index) {
    int overflow = 0;
    other_value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    converted = overflow == 0 && (other_value != -1 || PyErr_Occurred() == nullptr);
  }
  PyErr_Clear();
  if (converted) {
    equal = own == other_value;
  } else if (PyObject_TypeCheck(other, token_type_type())) {
    equal = value_of(self) == value_of(other);
  } else {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return PyBool_FromLong((operation == Py_EQ) == equal);
}

PyType_Slot token_type_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<TokenTypeObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(token_type_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(token_type_compare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(token_type_int)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Compatibility: the "builtins." type name and signature-only docstrings stay (docs/architecture.md).
PyType_Spec token_type_spec = {"builtins.TokenType", sizeof(TokenTypeObject), 0, Py_TPFLAGS_DEFAULT, token_type_slots};

PyTypeObject* token_type_slot = nullptr;

PyObject* allocate_token_type(PyTypeObject* type, TokenType value) {
  auto* object = allocate_instance<TokenTypeObject>(type, value);
  if (object != nullptr) object->borrow = BorrowFlag{};
  return reinterpret_cast<PyObject*>(object);
}

// The class attributes WORD, SUBWORD and SPECIALTOKEN, one instance each.
bool add_class_attributes(PyTypeObject* type) {
  const struct {
    const char* name;
    TokenType value;
  } attributes[] = {
      {"WORD", TokenType::Word}, {"SUBWORD", TokenType::Subword}, {"SPECIALTOKEN", TokenType::SpecialToken}};
  for (const auto& attribute : attributes) {
    PyRef instance(allocate_token_type(type, attribute.value));
    if (!instance || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), attribute.name, instance.get()) < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

PyTypeObject* token_type_type() {
  if (token_type_slot == nullptr) {
    PyRef created(PyType_FromSpec(&token_type_spec));
    if (!created) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(created.get());
    if (!add_class_attributes(type)) return nullptr;
    token_type_slot = reinterpret_cast<PyTypeObject*>(created.release());
  }
  return token_type_slot;
}

PyObject* make_token_type(TokenType value) {
  PyTypeObject* type = token_type_type();
  if (type == nullptr) return nullptr;
  return allocate_token_type(type, value);
}

}  // namespace wrenmark::python
