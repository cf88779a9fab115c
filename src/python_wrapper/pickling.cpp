#include "python_wrapper/pickling.hpp"

#include <string>
#include <string_view>

#include "bpe_tokenizer/encoding/packed_encoding.hpp"
#include "bpe_tokenizer/persistence/tokenizer_state.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_object.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/py_ref.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

namespace {

// The bytes of a `bytes` argument, or nullopt with TypeError set.
std::optional<std::string_view> bytes_argument(PyObject* object, const char* function, const char* name) {
  if (!PyBytes_Check(object)) {
    PyRef type_name(PyType_GetName(Py_TYPE(object)));
    if (type_name)
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bytes, not '%U'", function, name, type_name.get());
    return std::nullopt;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

PyObject* tokenizer_from_state(PyObject*, PyObject* state_argument) {
  return guard_exceptions([&]() -> PyObject* {
    auto state = bytes_argument(state_argument, "_tokenizer_from_state", "state");
    if (!state) return nullptr;
    auto tokenizer = parse_tokenizer_state(*state);
    if (!tokenizer) return raise_error(tokenizer.error());
    return make_loaded_tokenizer_object(std::move(tokenizer).value());
  });
}

PyObject* encoder_from_state(PyObject*, PyObject* args) {
  PyObject* arguments[5] = {};
  if (!PyArg_ParseTuple(args, "OOOOO:_encoder_from_state", &arguments[0], &arguments[1], &arguments[2], &arguments[3],
                        &arguments[4])) {
    return nullptr;
  }
  return guard_exceptions([&]() -> PyObject* {
    auto version = to_u64(arguments[0], "version");
    if (!version) return nullptr;
    if (*version != kEncoderStateVersion) {
      PyErr_Format(PyExc_ValueError, "Encoder state of version %llu, this release reads version %lu",
                   static_cast<unsigned long long>(*version), kEncoderStateVersion);
      return nullptr;
    }
    auto original_text = to_text(arguments[1], "original_text");
    if (!original_text) return nullptr;
    auto tokens = to_text_list(arguments[2], "tokens");
    if (!tokens) return nullptr;
    auto ids = to_u32_list(arguments[3], "ids");
    if (!ids) return nullptr;
    auto types = bytes_argument(arguments[4], "_encoder_from_state", "token_types");
    if (!types) return nullptr;
    if (types->size() != tokens->size()) {
      PyErr_SetString(PyExc_ValueError, "Encoder state holds a token type for every token");
      return nullptr;
    }
    EncodingBuilder encoding;
    encoding.start(*original_text);
    for (const TokenId id : *ids) encoding.append_id(id);
    for (std::size_t index = 0; index < tokens->size(); ++index) {
      const auto type = static_cast<unsigned char>((*types)[index]);
      if (type > static_cast<unsigned char>(TokenType::SpecialToken)) {
        PyErr_Format(PyExc_ValueError, "Encoder state holds an unknown token type %u", static_cast<unsigned>(type));
        return nullptr;
      }
      encoding.append_token((*tokens)[index], static_cast<TokenType>(type));
    }
    return make_encoder(encoding);
  });
}

// A new tokenizer object with the settings of `tokenizer` and the same model.
PyObject* copy_of(PyObject* self) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) {
    return make_tokenizer_object(BpeTokenizer(tokenizer.settings, tokenizer.model));
  });
}

}  // namespace

PyObject* reconstructor(const char* name) {
  PyRef module(PyImport_ImportModule("wrenmark.wrenmark"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), name);
}

PyObject* tokenizer_reduce(PyObject* self, PyObject*) {
  return with_shared_tokenizer(self, [](const BpeTokenizer& tokenizer) -> PyObject* {
    PyRef function(reconstructor("_tokenizer_from_state"));
    if (!function) return nullptr;
    const std::string state = serialize_tokenizer_state(tokenizer);
    PyRef bytes(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(O(O))", function.get(), bytes.get());
  });
}

PyObject* tokenizer_copy(PyObject* self, PyObject*) { return copy_of(self); }

// The model never changes, so a deep copy shares it as a shallow one does.
PyObject* tokenizer_deepcopy(PyObject* self, PyObject*) { return copy_of(self); }

PyMethodDef pickling_functions[] = {
    {"_tokenizer_from_state", tokenizer_from_state, METH_O,
     "_tokenizer_from_state(state)\n--\n\nThe tokenizer that BpeTokenizer.__reduce__ pickled."},
    {"_encoder_from_state", encoder_from_state, METH_VARARGS,
     "_encoder_from_state(version, original_text, tokens, ids, token_types)\n--\n\nThe Encoder that "
     "Encoder.__reduce__ pickled."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenmark::python
