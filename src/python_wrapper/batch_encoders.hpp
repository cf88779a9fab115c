#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe_tokenizer/encoding/batch.hpp"
#include "python_wrapper/encoder_outputs.hpp"
#include "python_wrapper/interpreter_lock.hpp"

namespace wrenmark::python {

// The result list of encode_batch, filled with Encoder objects for pieces of the batch as soon as
// they are encoded, on the calling thread, taking the interpreter lock for each piece while the
// pool goes on encoding the rest; what is left is filled once the batch is done. The list is
// made before the lock is let go and is the caller's to keep or drop.
class BatchEncoderList final : public FinishedEncodings {
 public:
  // `list` is a new list of one empty slot per text. The cache's tables are asked for only once
  // there are encodings, so that an untrained tokenizer fails as encode_batch says.
  BatchEncoderList(PyObject* list, PyObject* tokenizer_object, const BpeTokenizer& tokenizer, EncodingCache& cache)
      : list_(list),
        origin_{tokenizer_object, nullptr},
        tokenizer_(tokenizer),
        cache_(cache),
        made_(static_cast<std::size_t>(PyList_Size(list)), 0) {}

  // Before the encoding starts, with the lock let go.
  void lock_released(InterpreterLockReleased* released) { released_ = released; }

  void take(const EncodedBatch& batch, std::size_t first, std::size_t end) override;

  // Holding the lock, once the batch succeeded: false, with the exception set, when an object
  // could not be made.
  bool fill_rest(const EncodedBatch& batch);

 private:
  // Holding the lock. An object that cannot be made is left to fill_rest, which raises.
  bool make(const EncodedBatch& batch, std::size_t first, std::size_t end);

  PyObject* list_;
  EncodingOrigin origin_;
  const BpeTokenizer& tokenizer_;
  EncodingCache& cache_;
  InterpreterLockReleased* released_ = nullptr;
  // Bytes, not bits: set once per text on the calling thread, read back for every text.
  std::vector<std::uint8_t> made_;
  bool gave_up_ = false;
  // Set once taking the lock back had to wait for another thread.
  bool contended_ = false;
  static constexpr std::chrono::microseconds kContendedWait{1000};
};

}  // namespace wrenmark::python
