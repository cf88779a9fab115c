#include "python_wrapper/encoder_object.hpp"

#include "python_wrapper/borrow.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/token_type_object.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

struct EncoderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  Encoding native;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

// Builds a new list of `count` items, each made by `make_item(index)`.
template <typename MakeItem>
PyObject* build_list(std::size_t count, MakeItem make_item) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t index = 0; index < count; ++index) {
    PyObject* item = make_item(index);
    if (item == nullptr) return nullptr;
    set_new_list_item(list.get(), static_cast<Py_ssize_t>(index), item);
  }
  return list.release();
}

// Every getter reads under shared access and returns a fresh copy of the stored value.
template <typename Read>
PyObject* read_shared(PyObject* self, Read read) {
  return guard_exceptions([&]() -> PyObject* {
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.held()) return nullptr;
    return read(as_encoder(self)->native);
  });
}

PyObject* get_original_text(PyObject* self, void*) {
  return read_shared(self, [](const Encoding& encoding) { return to_python_text(encoding.original_text()); });
}

PyObject* get_tokens(PyObject* self, void*) {
  return read_shared(self, [](const Encoding& encoding) {
    return build_list(encoding.token_count(), [&](std::size_t index) { return to_python_text(encoding.token(index)); });
  });
}

PyObject* get_ids(PyObject* self, void*) {
  return read_shared(self, [](const Encoding& encoding) {
    const std::span<const TokenId> ids = encoding.ids();
    return build_list(ids.size(), [&](std::size_t index) { return PyLong_FromUnsignedLong(ids[index]); });
  });
}

PyObject* get_token_types(PyObject* self, void*) {
  return read_shared(self, [](const Encoding& encoding) {
    const std::span<const TokenType> types = encoding.token_types();
    return build_list(types.size(), [&](std::size_t index) { return make_token_type(types[index]); });
  });
}

PyObject* encoder_get_token_type(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* token_argument = parse_one_argument(args, kwargs, "token", "O:Encoder.get_token_type");
  if (token_argument == nullptr) return nullptr;
  return guard_exceptions([&]() -> PyObject* {
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.held()) return nullptr;
    auto token = to_text(token_argument, "token");
    if (!token) return nullptr;
    auto type = get_token_type(as_encoder(self)->native, *token);
    if (!type) return raise_error(type.error());
    return make_token_type(type.value());
  });
}

PyGetSetDef encoder_getset[] = {
    {"original_text", get_original_text, nullptr, nullptr, nullptr},
    {"tokens", get_tokens, nullptr, nullptr, nullptr},
    {"ids", get_ids, nullptr, nullptr, nullptr},
    {"token_types", get_token_types, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef encoder_methods[] = {
    {"get_token_type", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_get_token_type)),
     METH_VARARGS | METH_KEYWORDS, "get_token_type($self, token)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<EncoderObject>)},
    {Py_tp_getset, encoder_getset},
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec encoder_spec = {"builtins.Encoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT, encoder_slots};

PyTypeObject* encoder_type_slot = nullptr;

}  // namespace

PyTypeObject* encoder_type() { return create_type_once(encoder_type_slot, encoder_spec); }

PyObject* make_encoder(Encoding&& encoding) {
  PyTypeObject* type = encoder_type();
  if (type == nullptr) return nullptr;
  auto* object = allocate_instance<EncoderObject>(type, std::move(encoding));
  if (object != nullptr) object->borrow = BorrowFlag{};
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace wrenmark::python
