#include "python_wrapper/encoder_outputs.hpp"

#include <vector>

#include "bpe_tokenizer/encoding/token_places.hpp"
#include "python_wrapper/array_view.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

// The places are computed from the tables that encoded the text; a pickle does not carry them.
bool has_tables(const EncodingOrigin& origin) {
  if (origin.tables != nullptr) return true;
  PyErr_SetString(PyExc_ValueError, "the offsets and word ids of an Encoder rebuilt from a pickle are not known");
  return false;
}

}  // namespace

PyObject* token_offsets_list(const EncodingOrigin& origin, EncodingView encoding) {
  if (!has_tables(origin)) return nullptr;
  const std::vector<TokenPlace> places = place_tokens(*origin.tables, encoding);
  // Most tokens start where the one before ended, so that int is shared rather than made again.
  PyRef last_end;
  std::uint64_t last_end_value = 0;
  return build_list(places.size(), [&](std::size_t index) -> PyObject* {
    const TokenPlace& place = places[index];
    PyRef start(last_end && last_end_value == place.start ? Py_NewRef(last_end.get())
                                                          : PyLong_FromUnsignedLongLong(place.start));
    if (!start) return nullptr;
    PyRef end(place.end == place.start ? Py_NewRef(start.get()) : PyLong_FromUnsignedLongLong(place.end));
    if (!end) return nullptr;
    last_end = PyRef::borrowed(end.get());
    last_end_value = place.end;
    return PyTuple_Pack(2, start.get(), end.get());
  });
}

PyObject* word_ids_list(const EncodingOrigin& origin, EncodingView encoding) {
  if (!has_tables(origin)) return nullptr;
  const std::vector<TokenPlace> places = place_tokens(*origin.tables, encoding);
  // The tokens of a word are next to each other and share its number.
  PyRef last_word;
  std::uint64_t last_word_value = TokenPlace::kNoWord;
  return build_list(places.size(), [&](std::size_t index) -> PyObject* {
    const std::uint64_t word = places[index].word;
    if (word == TokenPlace::kNoWord) return Py_NewRef(Py_None);
    if (!last_word || last_word_value != word) {
      last_word = PyRef(PyLong_FromUnsignedLongLong(word));
      if (!last_word) return nullptr;
      last_word_value = word;
    }
    return Py_NewRef(last_word.get());
  });
}

PyObject* ids_view(PyObject* owner, EncodingView encoding) {
  static_assert(sizeof(TokenId) == sizeof(unsigned int));
  const std::span<const TokenId> ids = encoding.ids();
  return make_array_view(
      owner, ArrayLayout{ids.data(), "I", sizeof(TokenId), 1, {static_cast<Py_ssize_t>(ids.size()), 0}, true});
}

}  // namespace wrenmark::python
