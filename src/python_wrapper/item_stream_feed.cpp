#include "python_wrapper/item_stream_feed.hpp"

#include "python_wrapper/errors.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

bool fail(const TokenizerError& error) {
  raise_error(error);
  return false;
}

// False with an exception set on failure or stop.
bool feed_items(PyObject* iterator, AddElement add_element, TextStreamCounting& counting, TrainingMonitor& monitor,
                ItemsSignalCheck& signals) {
  for (std::uint64_t index = 0;; ++index) {
    PyRef element(PyIter_Next(iterator));
    if (!element) return PyErr_Occurred() == nullptr;
    const std::uint64_t items_before = counting.items();
    if (!add_element(element.get(), counting, index)) return false;
    monitor.set_bytes_beside(counting.bytes());
    if (monitor.advance(counting.items() - items_before)) return fail(TokenizerError::cancelled());
    if (counting.chunk_ready() && !signals.count_ready_chunks(counting)) return false;
  }
}

}  // namespace

bool ItemsSignalCheck::stop_now() {
  if (released_ != nullptr) return released_->with_lock([] { return PyErr_CheckSignals() != 0; });
  return PyErr_CheckSignals() != 0;
}

bool ItemsSignalCheck::count_ready_chunks(TextStreamCounting& counting) {
  auto counted = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
    const LockReleasedScope scope(*this, released);
    Status status;
    while (status.ok() && counting.chunk_ready()) status = counting.count_ready_chunk();
    return status;
  });
  if (!counted) return false;
  if (!counted->ok()) return fail(counted->error());
  return true;
}

Result<CorpusCounts> ItemsSignalCheck::finish(TextStreamCounting& counting) {
  auto counts = run_without_interpreter_lock([&](InterpreterLockReleased& released) {
    const LockReleasedScope scope(*this, released);
    return counting.finish();
  });
  // A C++ exception is already raised; Cancelled tells the caller that an exception is set.
  if (!counts) return TokenizerError::cancelled();
  return std::move(*counts);
}

Result<CorpusCounts> count_items(PyObject* iterator, AddElement add_element, const BlockCounter& counter,
                                 std::uint64_t length, TrainingMonitor& monitor, ItemsSignalCheck& signals) {
  TextStreamCounting counting(counter, training_block_bytes(), &monitor);
  if (monitor.begin_phase(TrainingPhase::CountingItems, length)) return TokenizerError::cancelled();
  if (!feed_items(iterator, add_element, counting, monitor, signals)) return TokenizerError::cancelled();
  return signals.finish(counting);
}

}  // namespace wrenmark::python
