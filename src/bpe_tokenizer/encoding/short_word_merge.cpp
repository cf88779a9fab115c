#include "bpe_tokenizer/encoding/short_word_merge.hpp"

#include <array>
#include <bit>
#include <cstdint>

#if defined(__x86_64__)
#include <smmintrin.h>
#endif

namespace wrenmark {

namespace {

using Code = PairMergeIndex::Code;

// The lowest place among a word's pairs and the leftmost position holding it.
struct Lowest {
  std::uint32_t place;
  std::size_t position;
};

// Places read from the codes themselves: any model.
class WidePlaces {
 public:
  explicit WidePlaces(const std::array<Code, kShortWordMaxSymbols>& codes) : codes_(codes) {}
  void set(std::size_t, Code) {}
  void move(std::size_t, std::size_t) {}
  void vacate(std::size_t, std::size_t) {}

  Lowest lowest(std::size_t pairs) const {
    Lowest found{PairMergeIndex::kUnrankedPlace, 0};
    for (std::size_t position = 0; position < pairs; ++position) {
      const std::uint32_t place = PairMergeIndex::place(codes_[position]);
      if (place < found.place) found = Lowest{place, position};
    }
    return found;
  }

 private:
  const std::array<Code, kShortWordMaxSymbols>& codes_;
};

#if defined(__x86_64__)
// Places of 16 bits in an array of their own, for a model whose places all fit (one of
// up to 65,535 distinct ranks): one instruction finds the lowest of eight pairs and its leftmost
// position, where a scan of the codes takes a compare and an unpredictable branch per pair.
// Unranked pairs and the lanes past the word hold kUnranked16.
class NarrowPlaces {
 public:
  static constexpr std::uint16_t kUnranked16 = 0xffff;

  explicit NarrowPlaces(const std::array<Code, kShortWordMaxSymbols>&) { places_.fill(kUnranked16); }
  void set(std::size_t position, Code code) { places_[position] = narrow(code); }
  void move(std::size_t to, std::size_t from) { places_[to] = places_[from]; }
  // Positions from `begin` to `end` start no pair any more. Groups of eight lanes at once: the
  // lanes past `end` lie past the word too, and a round rarely vacates more than two.
  void vacate(std::size_t begin, std::size_t end) {
    for (std::size_t position = begin; position < end; position += kLanes) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(places_.data() + position), _mm_set1_epi16(-1));
    }
  }

  [[gnu::target("sse4.1")]] Lowest lowest(std::size_t pairs) const {
    Lowest found{PairMergeIndex::kUnrankedPlace, 0};
    std::uint32_t lowest = kUnranked16;
    for (std::size_t start = 0; start < pairs; start += kLanes) {
      const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(places_.data() + start));
      const auto packed = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(lanes)));
      // Strictly lower only, so that a tie keeps the earlier group's position.
      if ((packed & 0xffff) < lowest) {
        lowest = packed & 0xffff;
        found = Lowest{lowest, start + ((packed >> 16) & (kLanes - 1))};
      }
    }
    return found;
  }

 private:
  static constexpr std::size_t kLanes = 8;
  static std::uint16_t narrow(Code code) {
    const std::uint32_t place = PairMergeIndex::place(code);
    return place < kUnranked16 ? static_cast<std::uint16_t>(place) : kUnranked16;
  }
  // Room for the last group of eight to read past the word.
  std::array<std::uint16_t, kShortWordMaxSymbols + kLanes> places_;
};

bool has_minpos_instruction() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.1");
}
#endif

template <typename Places>
[[gnu::always_inline]] inline void merge_with(std::vector<TokenId>& word, const PairMergeIndex& merges) {
  std::size_t size = word.size();
  if (size < 2) return;
  TokenId* const symbols = word.data();
  // codes[i]: the merge of the pair starting at symbol i.
  // The last symbol starts no pair; its entry only travels with it.
  std::array<Code, kShortWordMaxSymbols> codes;
  Places places(codes);
  codes[size - 1] = PairMergeIndex::kUnranked;
  places.set(size - 1, PairMergeIndex::kUnranked);
  for (std::size_t position = 0; position + 1 < size; ++position) {
    codes[position] = merges.code(pair_key(symbols[position], symbols[position + 1]));
    places.set(position, codes[position]);
  }

  while (size >= 2) {
    const Lowest lowest = places.lowest(size - 1);
    const std::size_t chosen = lowest.position;
    if (lowest.place == PairMergeIndex::kUnrankedPlace || !PairMergeIndex::has_merged(codes[chosen])) break;

    // No occurrence of the chosen pair lies before its leftmost lowest-placed position. A bit
    // per written position marks the merged ones.
    const TokenId first = symbols[chosen];
    const TokenId second = symbols[chosen + 1];
    const TokenId merged = PairMergeIndex::merged(codes[chosen]);
    // The pairs that the leftmost merge forms are looked up after the rewrite; their slots,
    // spread over the whole index, have its time to arrive.
    if (chosen > 0) merges.prefetch(pair_key(symbols[chosen - 1], merged));
    if (chosen + 2 < size) merges.prefetch(pair_key(merged, symbols[chosen + 2]));
    std::uint64_t merged_at = 0;
    std::size_t write = chosen;
    for (std::size_t read = chosen; read < size; ++write) {
      if (read + 1 < size && symbols[read] == first && symbols[read + 1] == second) {
        symbols[write] = merged;
        merged_at |= std::uint64_t{1} << write;
        read += 2;
      } else {
        symbols[write] = symbols[read];
        codes[write] = codes[read];
        places.move(write, read);
        read += 1;
      }
    }
    // The last symbol starts no pair, whatever its entry held before the round.
    places.vacate(write - 1, size);
    size = write;
    // A pair changed when either of its symbols is a merged one.
    std::uint64_t changed = (merged_at | merged_at >> 1) & ((std::uint64_t{1} << (size - 1)) - 1);
    while (changed != 0) {
      const auto position = static_cast<std::size_t>(std::countr_zero(changed));
      codes[position] = merges.code(pair_key(symbols[position], symbols[position + 1]));
      places.set(position, codes[position]);
      changed &= changed - 1;
    }
  }
  word.resize(size);
}

#if defined(__x86_64__)
[[gnu::target("sse4.1")]] void merge_with_narrow_places(std::vector<TokenId>& word, const PairMergeIndex& merges) {
  merge_with<NarrowPlaces>(word, merges);
}
#endif

}  // namespace

void merge_short_word(std::vector<TokenId>& word, const PairMergeIndex& merges) {
#if defined(__x86_64__)
  static const bool minpos = has_minpos_instruction();
  if (minpos && merges.places_fit_16_bits()) {
    merge_with_narrow_places(word, merges);
    return;
  }
#endif
  merge_with<WidePlaces>(word, merges);
}

}  // namespace wrenmark
