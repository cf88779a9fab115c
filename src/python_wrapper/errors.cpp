#include "python_wrapper/errors.hpp"

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "bpe_tokenizer/io/training_report.hpp"
#include "python_wrapper/py_ref.hpp"

namespace wrenmark::python {

namespace {

PyObject* raise_runtime_error(std::string_view text) {
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  PyErr_SetObject(PyExc_RuntimeError, message.get());
  return nullptr;
}

// oneTBB reports a worker thread that it could not start only by this text, in a runtime_error.
bool is_thread_start_failure(std::string_view text) { return text.starts_with("pthread_create has failed"); }

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("wrenmark.PanicException",
                                     "An internal fault of the tokenizer: a broken invariant stopped the call.\n\n"
                                     "It derives from BaseException so that handlers for Exception do not swallow it.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(std::string_view message) {
  training_report::flush();
  std::string report = "wrenmark: internal fault: ";
  report.append(message).push_back('\n');
  [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, report.data(), report.size());

  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;  // the class itself could not be made; that error stands
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_error(const TokenizerError& error) {
  if (error.kind() == ErrorKind::InternalFault) return raise_panic(error.text());
  // The signal handler that stopped the operation has set its own exception already.
  if (error.kind() == ErrorKind::Cancelled && PyErr_Occurred() != nullptr) return nullptr;
  return raise_runtime_error(error.text());
}

void raise_cpp_exception(const std::exception_ptr& failure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A size beyond what the containers can hold: memory that could never be had.
    PyErr_NoMemory();
  } catch (const std::system_error& error) {
    raise_runtime_error(error.what());
  } catch (const std::exception& exception) {
    if (is_thread_start_failure(exception.what())) {
      raise_runtime_error(exception.what());
    } else {
      raise_panic(exception.what());
    }
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
}

}  // namespace wrenmark::python
