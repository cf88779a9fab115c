#pragma once

#include <Python.h>

#include <span>
#include <vector>

#include "bpe_tokenizer/core/pair.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

// The int objects of one tokenizer's ids, each made the first time a list of ids needs it and
// shared by every such list afterwards. Ints are immutable, so one object handed out many times
// reads the same to Python code as a fresh one each time; sharing saves an allocation and a free
// per id, which is most of what reading `.ids` used to cost. The table holds ids below
// kMaxSharedIds (the tokenizer's own ids; larger ones are made fresh), grows only to the largest
// id asked for, and is touched only under the interpreter lock.
class IdObjects {
 public:
  static constexpr TokenId kMaxSharedIds = TokenId{1} << 22;

  // A new list of the ints of `ids`; nullptr with the exception set when one cannot be made.
  PyObject* list_of(std::span<const TokenId> ids);

 private:
  // A new reference to the int of `id`, made and kept when the table lacks it.
  PyObject* shared(TokenId id);

  std::vector<PyRef> objects_;
};

// A new list of the ints of `ids`, shared from `objects` when there is a table.
PyObject* id_list(IdObjects* objects, std::span<const TokenId> ids);

}  // namespace wrenmark::python
