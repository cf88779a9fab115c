#include "python_wrapper/batch_encoders.hpp"

#include <chrono>

#include "python_wrapper/conversions.hpp"
#include "python_wrapper/encoder_object.hpp"

namespace wrenmark::python {

bool BatchEncoderList::make(const EncodedBatch& batch, std::size_t first, std::size_t end) {
  if (first < end && origin_.tables == nullptr) origin_.tables = &cache_.tables(tokenizer_);
  for (std::size_t index = first; index < end; ++index) {
    if (made_[index]) continue;
    PyObject* encoder = make_encoder(*batch[index].block, batch[index].packed, origin_);
    if (encoder == nullptr) return false;
    set_new_list_item(list_, static_cast<Py_ssize_t>(index), encoder);
    made_[index] = 1;
  }
  return true;
}

void BatchEncoderList::take(const EncodedBatch& batch, std::size_t first, std::size_t end) {
  if (gave_up_ || contended_ || released_ == nullptr) return;
  const auto asked = std::chrono::steady_clock::now();
  released_->with_lock([&] {
    // Another Python thread ran meanwhile: waiting for the lock after every piece would cost
    // this thread its share of the encoding, so the rest is made at the end, as the others run.
    contended_ = std::chrono::steady_clock::now() - asked > kContendedWait;
    if (make(batch, first, end)) return;
    // Raised again by fill_rest, once the lock is held for good.
    PyErr_Clear();
    gave_up_ = true;
  });
}

bool BatchEncoderList::fill_rest(const EncodedBatch& batch) { return make(batch, 0, batch.size()); }

}  // namespace wrenmark::python
