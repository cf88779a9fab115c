#pragma once

#include <memory>

namespace wrenmark {

// Abseil's hash maps set their larger capacity before allocating the array for it, so a map
// whose growth failed (bad_alloc) can be neither used nor destroyed safely: its destructor would
// free the wrong array. A map that outlives the failure is forgotten in place instead: what it
// held is leaked, and it is empty and usable again.
template <typename Map>
void forget_broken_map(Map& map) noexcept {
  std::construct_at(&map);
}

}  // namespace wrenmark
