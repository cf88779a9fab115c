#pragma once

#include <Python.h>

#include <optional>

#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/padded_batch.hpp"

namespace wrenmark::python {

// The keyword arguments of encode_batch_padded after `texts`, in signature order; nullptr stands
// for an argument left at its default.
struct PaddingArguments {
  PyObject* max_length = nullptr;
  PyObject* padding = nullptr;
  PyObject* pad_to_multiple_of = nullptr;
  PyObject* pad_id = nullptr;
  PyObject* padding_side = nullptr;
  PyObject* truncation_side = nullptr;
  PyObject* prefix_ids = nullptr;
  PyObject* suffix_ids = nullptr;
  PyObject* dtype = nullptr;
};

// The checked options: TypeError for an argument of the wrong type, ValueError for a value out of
// range, a pad, prefix or suffix id that is not a token of `tokenizer`'s vocabulary, padding to
// max_length without one, or a prefix and suffix longer than max_length. Nullopt with the
// exception set on failure.
std::optional<PaddingOptions> padding_options(const PaddingArguments& arguments, const BpeTokenizer& tokenizer);

}  // namespace wrenmark::python
