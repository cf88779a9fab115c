#include "python_wrapper/text_class_functions.hpp"

#include <array>
#include <string>

#include "bpe_tokenizer/text/character_classes.hpp"
#include "bpe_tokenizer/text/utf8.hpp"
#include "python_wrapper/conversions.hpp"
#include "python_wrapper/errors.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

template <std::size_t Count>
PyObject* characters_of(const std::array<CodePointRange, Count>& ranges) {
  std::string characters;
  for_each_code_point(ranges, [&](char32_t code_point) { characters.append(utf8::encode(code_point).view()); });
  return to_python_text(characters);
}

// _text_classes() -> (white_space, punctuation): each a str of its characters in code point order.
PyObject* text_classes(PyObject*, PyObject*) {
  return guard_exceptions([]() -> PyObject* {
    PyRef white_space(characters_of(kWhiteSpaceCharacters));
    if (!white_space) return nullptr;
    PyRef punctuation(characters_of(kPunctuationCharacters));
    if (!punctuation) return nullptr;
    return PyTuple_Pack(2, white_space.get(), punctuation.get());
  });
}

}  // namespace

PyMethodDef text_class_functions[] = {
    {"_text_classes", text_classes, METH_NOARGS,
     "_text_classes()\n--\n\nThe white-space and the punctuation characters of pre-tokenization."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenmark::python
