#include "bpe_tokenizer/encoding/decode.hpp"
#include "bpe_tokenizer/encoding/encode.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_object.hpp"
#include "python_wrapper/tokenizer_object.hpp"

namespace wrenmark::python {

PyObject* tokenizer_encode(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keyword_names) {
  PyObject* text_argument = parse_one_argument(args, count, keyword_names, "text", "O:BpeTokenizer.encode");
  if (text_argument == nullptr) return nullptr;
  return with_shared_encoding(self, [&](const BpeTokenizer& tokenizer, EncodingCache& cache) -> PyObject* {
    auto text = to_text(text_argument, "text");
    if (!text) return nullptr;
    // The interpreter lock is held for the whole call, as by every single encode.
    auto encoding = encode(tokenizer, cache, *text, WordCacheUse::LockHolders);
    if (!encoding) return raise_error(encoding.error());
    return make_encoder(*encoding.value(), EncodingOrigin{self, &cache.tables(tokenizer)});
  });
}

PyObject* tokenizer_decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* ids_argument = parse_one_argument(args, kwargs, "ids", "O:BpeTokenizer.decode");
  if (ids_argument == nullptr) return nullptr;
  return with_shared_encoding(self, [&](const BpeTokenizer& tokenizer, EncodingCache& cache) -> PyObject* {
    auto ids = to_u32_list(ids_argument, "ids");
    if (!ids) return nullptr;
    auto text = decode(tokenizer, cache, *ids);
    if (!text) return raise_error(text.error());
    return to_python_text(text.value());
  });
}

}  // namespace wrenmark::python
