#pragma once

#include <memory>
#include <utility>

namespace wrenmark {

// Abseil's hash maps set their larger capacity before allocating the array for it, so a map
// whose growth failed (bad_alloc) can be neither used nor destroyed safely: its destructor would
// free the wrong array (a map whose very first allocation failed would free the static empty
// group). A map that outlives the failure is forgotten in place instead: what it held is leaked,
// and it is empty and usable again.
template <typename Map>
void forget_broken_map(Map& map) noexcept {
  std::construct_at(&map);
}

// Runs `insert`, an insertion into `map` that may grow it. When it throws, the map is forgotten
// before the exception goes on, so that unwinding destroys an empty map. A try costs nothing
// until something is thrown, so the guard adds no work to the path that does not throw; it is
// always inlined, since GCC would otherwise call out for the whole insertion, the map's inlined
// lookup included.
template <typename Map, typename Insert>
[[gnu::always_inline]] inline decltype(auto) insert_or_forget(Map& map, Insert&& insert) {
  try {
    return std::forward<Insert>(insert)();
  } catch (...) {
    forget_broken_map(map);
    throw;
  }
}

}  // namespace wrenmark
