#include "bpe_tokenizer/encoding/short_word_merge.hpp"

#include <array>
#include <bit>
#include <cstdint>

namespace wrenmark {

void merge_short_word(std::vector<TokenId>& word, const PairMergeIndex& merges) {
  using Code = PairMergeIndex::Code;
  std::size_t size = word.size();
  if (size < 2) return;
  TokenId* const symbols = word.data();
  // codes[i]: the merge of the pair starting at symbol i.
  // The last symbol starts no pair; its entry only travels with it.
  std::array<Code, kShortWordMaxSymbols> codes;
  codes[size - 1] = PairMergeIndex::kUnranked;
  for (std::size_t position = 0; position + 1 < size; ++position) {
    codes[position] = merges.code(pair_key(symbols[position], symbols[position + 1]));
  }

  while (size >= 2) {
    std::uint32_t lowest = PairMergeIndex::kUnrankedPlace;
    std::size_t chosen = 0;
    for (std::size_t position = 0; position + 1 < size; ++position) {
      const std::uint32_t place = PairMergeIndex::place(codes[position]);
      if (place < lowest) {
        lowest = place;
        chosen = position;
      }
    }
    if (lowest == PairMergeIndex::kUnrankedPlace || !PairMergeIndex::has_merged(codes[chosen])) break;

    // No occurrence of the chosen pair lies before its leftmost lowest-placed position. A bit
    // per written position marks the merged ones.
    const TokenId first = symbols[chosen];
    const TokenId second = symbols[chosen + 1];
    const TokenId merged = PairMergeIndex::merged(codes[chosen]);
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
        read += 1;
      }
    }
    size = write;
    // A pair changed when either of its symbols is a merged one.
    std::uint64_t changed = (merged_at | merged_at >> 1) & ((std::uint64_t{1} << (size - 1)) - 1);
    while (changed != 0) {
      const auto position = static_cast<std::size_t>(std::countr_zero(changed));
      codes[position] = merges.code(pair_key(symbols[position], symbols[position + 1]));
      changed &= changed - 1;
    }
  }
  word.resize(size);
}

}  // namespace wrenmark
