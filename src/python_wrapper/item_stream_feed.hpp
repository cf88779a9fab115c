#pragma once

#include <Python.h>

#include <cstdint>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/training/counting/corpus_counting.hpp"
#include "bpe_tokenizer/training/counting/text_stream_counting.hpp"
#include "bpe_tokenizer/training/training_monitor.hpp"
#include "python_wrapper/interpreter_lock.hpp"

namespace wrenmark::python {

// Counting the items of a Python iterable as they come: the items are pulled holding the
// interpreter lock, while the chunk before is counted on a thread of its own; the lock is let go
// whenever this thread waits for that count, so that other Python threads (a reader feeding the
// iterator, say) run meanwhile. About two chunks of text are held at a time.

// Runs the signal handlers when asked, taking the interpreter lock back for the moment while this
// thread waits for a count without it.
class ItemsSignalCheck final : public StopRequest {
 public:
  bool stop_now() override;

  // Hands the ready chunks of `counting` over, with the lock let go while it waits for the
  // counting thread. False with an exception set on failure.
  bool count_ready_chunks(TextStreamCounting& counting);
  // Counts the rest with the lock let go; Cancelled when an exception is set already.
  Result<CorpusCounts> finish(TextStreamCounting& counting);

 private:
  struct LockReleasedScope {
    LockReleasedScope(ItemsSignalCheck& check, InterpreterLockReleased& released) : check(check) {
      check.released_ = &released;
    }
    ~LockReleasedScope() { check.released_ = nullptr; }
    ItemsSignalCheck& check;
  };

  InterpreterLockReleased* released_ = nullptr;
};

// Adds one element of the iterable (its `index`) to the stream; false with an exception set when
// the element is not what the caller takes.
using AddElement = bool (*)(PyObject* element, TextStreamCounting& counting, std::uint64_t index);

// Counts every element of `iterator` with a stream of `counter`'s counting in chunks of the
// training block size, the progress in the CountingItems phase of `length` items (0: unknown).
// A failure of counting is the error; any other failure or a stop is Cancelled with the Python
// exception set (which raise_error leaves as it is).
Result<CorpusCounts> count_items(PyObject* iterator, AddElement add_element, const BlockCounter& counter,
                                 std::uint64_t length, TrainingMonitor& monitor, ItemsSignalCheck& signals);

}  // namespace wrenmark::python
