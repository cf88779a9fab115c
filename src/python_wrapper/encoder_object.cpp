#include "python_wrapper/encoder_object.hpp"

#include "python_wrapper/borrow.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_outputs.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/id_objects.hpp"
#include "python_wrapper/pickling.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/token_type_object.hpp"
#include "python_wrapper/tokenizer_object.hpp"
#include "python_wrapper/type_support.hpp"

namespace wrenmark::python {

namespace {

// An Encoder reads a packed encoding in a shared block, which it keeps alive: the objects of a
// batch share a few blocks, so each costs one small allocation of the interpreter's.
struct EncoderObject {
  PyObject_HEAD
  BorrowFlag borrow;
  SharedEncodingBlock* block;
  const std::byte* packed;
  // A reference owned when not null.
  EncodingOrigin origin;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

EncodingView encoding_of(PyObject* self) { return EncodingView(as_encoder(self)->packed); }

// The shared int objects of the ids of `self`'s tokenizer; null for an encoding that has none.
IdObjects* id_objects_of(PyObject* self) {
  PyObject* tokenizer = as_encoder(self)->origin.tokenizer;
  if (tokenizer == nullptr) return nullptr;
  return &reinterpret_cast<TokenizerObject*>(tokenizer)->native.id_objects;
}

// Freed Encoder objects kept for the next ones, so that a loop which drops each encoding before
// making the next, and a batch made after the last one was dropped, cost no allocation and free
// of the interpreter's per object. Their memory only: each is initialised anew when handed out.
// At most kSpareEncoders of them (about 64 bytes each); touched only under the interpreter lock.
constexpr std::size_t kSpareEncoders = 8192;
PyObject* spare_encoders[kSpareEncoders];
std::size_t spare_encoder_count = 0;

void destroy_encoder(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  SharedEncodingBlock::release(as_encoder(self)->block);
  Py_XDECREF(as_encoder(self)->origin.tokenizer);
  if (spare_encoder_count < kSpareEncoders) {
    spare_encoders[spare_encoder_count++] = self;
  } else {
    // Read once: there is one Encoder type, and it never changes.
    static const freefunc free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
  }
  Py_DECREF(type);
}

// Every getter reads under shared access and returns a fresh copy of the stored value.
template <typename Read>
PyObject* read_shared(PyObject* self, Read read) {
  return guard_exceptions([&]() -> PyObject* {
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.held()) return nullptr;
    return read(encoding_of(self));
  });
}

PyObject* get_original_text(PyObject* self, void*) {
  return read_shared(self, [](EncodingView encoding) { return to_python_text(encoding.original_text()); });
}

PyObject* get_tokens(PyObject* self, void*) {
  return read_shared(self, [](EncodingView encoding) {
    return build_list(encoding.token_count(), [&](std::size_t index) { return to_python_text(encoding.token(index)); });
  });
}

PyObject* get_ids(PyObject* self, void*) {
  return read_shared(self, [&](EncodingView encoding) { return id_list(id_objects_of(self), encoding.ids()); });
}

PyObject* get_token_types(PyObject* self, void*) {
  return read_shared(self, [](EncodingView encoding) {
    const std::span<const TokenType> types = encoding.token_types();
    return build_list(types.size(), [&](std::size_t index) { return make_token_type(types[index]); });
  });
}

PyObject* get_offsets(PyObject* self, void*) {
  return read_shared(self,
                     [&](EncodingView encoding) { return token_offsets_list(as_encoder(self)->origin, encoding); });
}

PyObject* get_word_ids(PyObject* self, void*) {
  return read_shared(self, [&](EncodingView encoding) { return word_ids_list(as_encoder(self)->origin, encoding); });
}

PyObject* get_ids_buffer(PyObject* self, void*) {
  return read_shared(self, [&](EncodingView encoding) { return ids_view(self, encoding); });
}

PyObject* encoder_get_token_type(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* token_argument = parse_one_argument(args, kwargs, "token", "O:Encoder.get_token_type");
  if (token_argument == nullptr) return nullptr;
  return guard_exceptions([&]() -> PyObject* {
    SharedBorrow borrow(as_encoder(self)->borrow);
    if (!borrow.held()) return nullptr;
    auto token = to_text(token_argument, "token");
    if (!token) return nullptr;
    auto type = get_token_type(encoding_of(self), *token);
    if (!type) return raise_error(type.error());
    return make_token_type(type.value());
  });
}

// (_encoder_from_state, (version, original_text, tokens, ids, token_types as bytes)).
PyObject* encoder_reduce(PyObject* self, PyObject*) {
  return read_shared(self, [&](EncodingView encoding) -> PyObject* {
    PyRef function(reconstructor("_encoder_from_state"));
    if (!function) return nullptr;
    PyRef original_text(to_python_text(encoding.original_text()));
    if (!original_text) return nullptr;
    PyRef tokens(
        build_list(encoding.token_count(), [&](std::size_t index) { return to_python_text(encoding.token(index)); }));
    if (!tokens) return nullptr;
    PyRef ids(id_list(id_objects_of(self), encoding.ids()));
    if (!ids) return nullptr;
    const std::span<const TokenType> types = encoding.token_types();
    static_assert(sizeof(TokenType) == 1);
    PyRef type_bytes(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(types.data()), static_cast<Py_ssize_t>(types.size())));
    if (!type_bytes) return nullptr;
    return Py_BuildValue("(O(kOOOO))", function.get(), kEncoderStateVersion, original_text.get(), tokens.get(),
                         ids.get(), type_bytes.get());
  });
}

PyGetSetDef encoder_getset[] = {
    {"original_text", get_original_text, nullptr, nullptr, nullptr},
    {"tokens", get_tokens, nullptr, nullptr, nullptr},
    {"ids", get_ids, nullptr, nullptr, nullptr},
    {"token_types", get_token_types, nullptr, nullptr, nullptr},
    {"offsets", get_offsets, nullptr, nullptr, nullptr},
    {"word_ids", get_word_ids, nullptr, nullptr, nullptr},
    {"ids_buffer", get_ids_buffer, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef encoder_methods[] = {
    {"get_token_type", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_get_token_type)),
     METH_VARARGS | METH_KEYWORDS, "get_token_type($self, token)\n--\n\n"},
    {"__reduce__", encoder_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_encoder)},
    {Py_tp_getset, encoder_getset},
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

// Compatibility: the "builtins." type name and signature-only docstrings stay (docs/architecture.md).
PyType_Spec encoder_spec = {"builtins.Encoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT, encoder_slots};

PyTypeObject* encoder_type_slot = nullptr;

// Single encodings share blocks as a batch's do, so that one `encode` costs no allocation of its
// own but the object's: short ones are packed one after another into the open block, which the
// binding holds one user of until it is full. A kept Encoder keeps at most kSingleBlockBytes.
// Touched only under the interpreter lock.
constexpr std::size_t kSingleBlockBytes = 16 * 1024;
constexpr std::size_t kSharedSingleBytes = 2 * 1024;
SharedEncodingBlock* open_single_block = nullptr;

// The open block, with room for `size` bytes.
SharedEncodingBlock& single_encodings_block(std::size_t size) {
  if (open_single_block != nullptr && open_single_block->room() >= size) return *open_single_block;
  EncodingBlockHandle fresh(SharedEncodingBlock::create(kSingleBlockBytes));
  if (open_single_block != nullptr) SharedEncodingBlock::release(open_single_block);
  open_single_block = fresh.release();
  return *open_single_block;
}

}  // namespace

PyTypeObject* encoder_type() { return create_type_once(encoder_type_slot, encoder_spec); }

PyObject* make_encoder(SharedEncodingBlock& block, const std::byte* packed, const EncodingOrigin& origin) {
  PyTypeObject* type = encoder_type();
  if (type == nullptr) return nullptr;
  // Through the slot, not the struct member: the type object is opaque in the stable ABI. The
  // type never changes once made, so its slot is read once.
  static const allocfunc allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object =
      spare_encoder_count > 0 ? PyObject_Init(spare_encoders[--spare_encoder_count], type) : allocate(type, 0);
  if (object == nullptr) return nullptr;
  block.add_user();
  EncoderObject* encoder = as_encoder(object);
  encoder->borrow = BorrowFlag{};
  encoder->block = &block;
  encoder->packed = packed;
  encoder->origin = EncodingOrigin{Py_XNewRef(origin.tokenizer), origin.tables};
  return object;
}

PyObject* make_encoder(const EncodingBuilder& encoding, const EncodingOrigin& origin) {
  const std::size_t size = encoding.packed_size();
  if (size > kSharedSingleBytes) {
    EncodingBlockHandle block(SharedEncodingBlock::create(size));
    const std::byte* packed = block->append(encoding);
    return make_encoder(*block, packed, origin);
  }
  SharedEncodingBlock& block = single_encodings_block(size);
  const std::byte* packed = block.append(encoding);
  return make_encoder(block, packed, origin);
}

}  // namespace wrenmark::python
