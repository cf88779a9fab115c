#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "bpe_tokenizer/io/file_descriptor.hpp"

namespace wrenmark::python {

// The str items of a Python iterable joined by line feeds, written to a temporary corpus file
// that training reads like any other and that is removed when this goes. The one place where
// training takes its text from an iterable; counting the items as they come would replace it.
class TextItemsCorpus {
 public:
  // Reads the whole iterable. A non-str item raises TypeError naming its index, an item that is
  // not valid text (a lone surrogate) UnicodeEncodeError with its index, a failed write OSError;
  // all return null, leaving no file behind.
  static std::unique_ptr<TextItemsCorpus> spool(PyObject* iterable);

  TextItemsCorpus(const TextItemsCorpus&) = delete;
  TextItemsCorpus& operator=(const TextItemsCorpus&) = delete;
  ~TextItemsCorpus();

  const std::string& path() const { return path_; }

 private:
  TextItemsCorpus(std::string path, FileDescriptor file) : path_(std::move(path)), file_(std::move(file)) {}

  // Writes what `pending` holds and empties it; raises OSError and returns false on failure.
  bool flush(std::string& pending);

  std::string path_;
  FileDescriptor file_;
};

}  // namespace wrenmark::python
