#include "python_wrapper/id_objects.hpp"

#include <algorithm>
#include <cstddef>

#include "python_wrapper/conversions.hpp"

namespace wrenmark::python {

PyObject* IdObjects::shared(TokenId id) {
  if (id >= kMaxSharedIds) return PyLong_FromUnsignedLong(id);
  if (id >= objects_.size()) {
    // Doubling keeps the growth amortised while the ids of a fresh tokenizer come in.
    objects_.resize(
        std::min<std::size_t>(kMaxSharedIds, std::max<std::size_t>(id + std::size_t{1}, 2 * objects_.size())));
  }
  PyRef& slot = objects_[id];
  if (!slot) {
    slot = PyRef(PyLong_FromUnsignedLong(id));
    if (!slot) return nullptr;
  }
  return Py_NewRef(slot.get());
}

PyObject* IdObjects::list_of(std::span<const TokenId> ids) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
#ifdef Py_LIMITED_API
  for (std::size_t index = 0; index < ids.size(); ++index) {
    PyObject* item = shared(ids[index]);
    if (item == nullptr) return nullptr;
    set_new_list_item(list.get(), static_cast<Py_ssize_t>(index), item);
  }
#else
  // The list's slots written directly: the checked store per id costs more than the id.
  PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
  const std::size_t known = objects_.size();
  // The int objects lie wherever they were made: their loads overlap when all are asked for
  // before the first reference is counted.
  for (const TokenId id : ids) {
    if (id < known) __builtin_prefetch(objects_[id].get(), 1);
  }
  for (std::size_t index = 0; index < ids.size(); ++index) {
    const TokenId id = ids[index];
    PyObject* item = id < known && objects_[id] ? Py_NewRef(objects_[id].get()) : shared(id);
    if (item == nullptr) return nullptr;
    slots[index] = item;
  }
#endif
  return list.release();
}

PyObject* id_list(IdObjects* objects, std::span<const TokenId> ids) {
  if (objects != nullptr) return objects->list_of(ids);
  return build_list(ids.size(), [&](std::size_t index) { return PyLong_FromUnsignedLong(ids[index]); });
}

}  // namespace wrenmark::python
