#pragma once

#include <cstdint>

#include "absl/container/flat_hash_map.h"

namespace wrenmark {

using TokenId = std::uint32_t;

// An ordered couple of token ids, the unit that a merge joins.
struct Pair {
  TokenId first;
  TokenId second;

  friend bool operator==(const Pair&, const Pair&) = default;
};

// Pairs are hashed and stored as one 64-bit key: first id in the high half.
using PairKey = std::uint64_t;

constexpr PairKey pair_key(TokenId first, TokenId second) { return (static_cast<PairKey>(first) << 32) | second; }
constexpr PairKey pair_key(Pair pair) { return pair_key(pair.first, pair.second); }
constexpr Pair pair_from_key(PairKey key) { return Pair{static_cast<TokenId>(key >> 32), static_cast<TokenId>(key)}; }

template <typename Value>
using PairMap = absl::flat_hash_map<PairKey, Value>;

}  // namespace wrenmark
