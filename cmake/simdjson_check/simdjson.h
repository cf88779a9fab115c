// Found before simdjson's own header on our targets' include path (CMakeLists.txt), so that the
// compiler itself checks the NDEBUG rule: a file that includes simdjson, directly or through any
// header, must define NDEBUG, or simdjson's internal asserts abort the process on misuse after
// an error.
#ifndef NDEBUG
#error "this file includes simdjson without NDEBUG; CMakeLists.txt defines it for every file that includes simdjson (a stale configuration: re-run CMake)"
#endif
#include_next <simdjson.h>
