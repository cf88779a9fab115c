#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "bpe_tokenizer/core/tokenizer_error.hpp"

namespace wrenmark::python {

// Raises the Python exception for a core error: RuntimeError with the error's text, or
// PanicException for an internal fault. Always returns nullptr for use as a return value.
PyObject* raise_error(const TokenizerError& error);

// Reports an internal fault on standard error and raises PanicException with `message`.
PyObject* raise_panic(std::string_view message);

// The PanicException class (derived from BaseException), created on first use.
PyObject* panic_exception_type();

// Runs a binding body, turning any C++ exception that escapes it into a Python exception so
// that nothing unwinds into the interpreter: bad_alloc becomes MemoryError, the rest panics.
template <typename Body>
auto guard_exceptions(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    raise_panic(exception.what());
  } catch (...) {
    raise_panic("unknown C++ exception");
  }
  return decltype(body())();
}

}  // namespace wrenmark::python
