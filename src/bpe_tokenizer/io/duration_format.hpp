#pragma once

#include <cstdint>
#include <string>

namespace wrenmark {

// Formats an elapsed time for the timing lines: "2.5s", "12.345678ms", "35.2µs", "800ns".
// The fraction keeps every significant digit down to the nanosecond, without trailing zeros.
std::string format_duration(std::uint64_t nanoseconds);

}  // namespace wrenmark
