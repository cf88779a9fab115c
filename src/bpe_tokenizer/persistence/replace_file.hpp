#pragma once

#include <string_view>

#include "bpe_tokenizer/core/result.hpp"

namespace wrenmark {

// Puts `content` at "{directory}/{name}" in one step: writes it to a new temporary file in the
// same directory, flushes it to disk and renames it over the old file. Until the rename,
// whatever stood at the path stays as it was; on failure the temporary file is removed.
// Failing to create or rename the file is a FileError; failing to write it a JsonError.
Status replace_file(std::string_view directory, std::string_view name, std::string_view content);

}  // namespace wrenmark
