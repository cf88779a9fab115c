#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/pair.hpp"

namespace wrenmark {

// The distinct words of the corpus as symbol sequences, in order of first occurrence. All
// sequences live back to back in one array; a merge shortens its word in place, so a word keeps
// its start and its length shrinks.
struct WordTable {
  std::vector<TokenId> symbols;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint64_t> counts;

  std::size_t size() const { return counts.size(); }
  std::span<TokenId> word(std::size_t index) { return {symbols.data() + starts[index], lengths[index]}; }
  std::span<const TokenId> word(std::size_t index) const { return {symbols.data() + starts[index], lengths[index]}; }
};

}  // namespace wrenmark
