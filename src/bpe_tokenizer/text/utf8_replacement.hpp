#pragma once

#include <string>
#include <string_view>

namespace wrenmark::utf8 {

// Appends `bytes` to `out` as Python's bytes.decode("utf-8", errors="replace") reads them: every
// valid character as it is, and each maximal part of an invalid sequence (a lead byte with the
// continuation bytes that may follow it, or a lone byte) as one U+FFFD.
void append_replacing_invalid(std::string& out, std::string_view bytes);

}  // namespace wrenmark::utf8
