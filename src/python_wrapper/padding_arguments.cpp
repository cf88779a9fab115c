#include "python_wrapper/padding_arguments.hpp"

#include <array>
#include <string>
#include <string_view>

#include "python_wrapper/conversions.hpp"

namespace wrenmark::python {

namespace {

bool is_none(PyObject* argument) { return argument == nullptr || argument == Py_None; }

// A whole number from `minimum` to the largest size of a Python sequence; bool is refused, as a
// length or an id it is a mistake.
std::optional<std::uint64_t> to_count(PyObject* argument, const char* name, long long minimum) {
  if (PyBool_Check(argument) || !PyIndex_Check(argument)) {
    raise_cannot_convert(argument, name, "int");
    return std::nullopt;
  }
  PyRef index(PyNumber_Index(argument));
  if (!index) return std::nullopt;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && value < minimum)) {
    PyErr_Format(PyExc_ValueError, "%s must be at least %lld, not %S", name, minimum, index.get());
    return std::nullopt;
  }
  if (overflow > 0 || value > PY_SSIZE_T_MAX) {
    PyErr_Format(PyExc_ValueError, "%s is too large: %S", name, index.get());
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

// The index in `choices` of the str `argument`; 0, the default, when it is left out.
template <std::size_t Count>
std::optional<std::size_t> to_choice(PyObject* argument, const char* name,
                                     const std::array<std::string_view, Count>& choices) {
  if (argument == nullptr) return 0;
  auto text = to_text(argument, name);
  if (!text) return std::nullopt;
  for (std::size_t index = 0; index < Count; ++index) {
    if (*text == choices[index]) return index;
  }
  std::string expected;
  for (std::size_t index = 0; index < Count; ++index) {
    expected.append(index == 0           ? ""
                    : index + 1 == Count ? " or "
                                         : ", ")
        .append("'")
        .append(choices[index])
        .append("'");
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, expected.c_str(), argument);
  return std::nullopt;
}

bool in_vocabulary(const BpeTokenizer& tokenizer, std::uint64_t id, const char* name) {
  if (tokenizer.trained() && tokenizer.model->token_table.token_by_id(id)) return true;
  PyErr_Format(PyExc_ValueError, "%s: %llu is not the id of a token of the vocabulary", name,
               static_cast<unsigned long long>(id));
  return false;
}

std::optional<std::vector<TokenId>> to_token_ids(PyObject* argument, const char* name, const BpeTokenizer& tokenizer) {
  if (argument == nullptr) return std::vector<TokenId>{};
  std::vector<TokenId> ids;
  const bool converted = for_each_list_item(argument, name, [&](PyObject* item) {
    auto id = to_count(item, name, 0);
    if (!id || !in_vocabulary(tokenizer, *id, name)) return false;
    ids.push_back(static_cast<TokenId>(*id));
    return true;
  });
  if (!converted) return std::nullopt;
  return ids;
}

}  // namespace

std::optional<PaddingOptions> padding_options(const PaddingArguments& arguments, const BpeTokenizer& tokenizer) {
  PaddingOptions options;
  if (!is_none(arguments.max_length)) {
    auto max_length = to_count(arguments.max_length, "max_length", 0);
    if (!max_length) return std::nullopt;
    options.max_length = max_length;
  }
  auto padding = to_choice(arguments.padding, "padding", std::array<std::string_view, 2>{"longest", "max_length"});
  if (!padding) return std::nullopt;
  options.pad_to_max_length = *padding == 1;
  if (options.pad_to_max_length && !options.max_length) {
    PyErr_SetString(PyExc_ValueError, "padding='max_length' needs max_length");
    return std::nullopt;
  }
  if (!is_none(arguments.pad_to_multiple_of)) {
    auto multiple = to_count(arguments.pad_to_multiple_of, "pad_to_multiple_of", 1);
    if (!multiple) return std::nullopt;
    options.multiple = *multiple;
  }
  if (!is_none(arguments.pad_id)) {
    auto pad_id = to_count(arguments.pad_id, "pad_id", 0);
    if (!pad_id || !in_vocabulary(tokenizer, *pad_id, "pad_id")) return std::nullopt;
    options.pad_id = static_cast<TokenId>(*pad_id);
  }
  const std::array<std::string_view, 2> sides{"right", "left"};
  auto padding_side = to_choice(arguments.padding_side, "padding_side", sides);
  if (!padding_side) return std::nullopt;
  options.pad_left = *padding_side == 1;
  auto truncation_side = to_choice(arguments.truncation_side, "truncation_side", sides);
  if (!truncation_side) return std::nullopt;
  options.truncate_left = *truncation_side == 1;
  auto prefix = to_token_ids(arguments.prefix_ids, "prefix_ids", tokenizer);
  if (!prefix) return std::nullopt;
  options.prefix = std::move(*prefix);
  auto suffix = to_token_ids(arguments.suffix_ids, "suffix_ids", tokenizer);
  if (!suffix) return std::nullopt;
  options.suffix = std::move(*suffix);
  if (options.max_length && options.prefix.size() + options.suffix.size() > *options.max_length) {
    PyErr_Format(PyExc_ValueError, "prefix_ids and suffix_ids hold %zu ids, more than max_length %zu",
                 options.prefix.size() + options.suffix.size(), *options.max_length);
    return std::nullopt;
  }
  auto element = to_choice(arguments.dtype, "dtype", std::array<std::string_view, 3>{"int64", "int32", "uint32"});
  if (!element) return std::nullopt;
  options.element = static_cast<PaddedElement>(*element);
  return options;
}

}  // namespace wrenmark::python
