#include "bpe_tokenizer/encoding/dropout_merger.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>

#include "bpe_tokenizer/core/character_ids.hpp"

namespace wrenmark {

namespace {

constexpr std::uint32_t kNone = UINT32_MAX;
// Marks a merged-away symbol: no token has this id.
constexpr TokenId kRemoved = CharacterIds::kMissing;
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

// The SplitMix64 finalizer: a bijective mix whose outputs pass as independent uniform draws for
// distinct inputs.
std::uint64_t mix(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31);
}

// Draw number n of one word: a counter-based stream, so no state but the counter is kept.
class DrawStream {
 public:
  DrawStream(const DropoutDraws& draws, std::uint64_t offset)
      : key_(mix(mix(mix(draws.seed + kGolden) ^ draws.text_index) ^ offset)),
        threshold_(static_cast<std::uint64_t>(draws.probability * 0x1p53)) {}

  bool dropped() { return (mix(key_ + kGolden * ++count_) >> 11) < threshold_; }

 private:
  std::uint64_t key_;
  std::uint64_t threshold_;
  std::uint64_t count_ = 0;
};

bool later(const auto& a, const auto& b) { return a.rank != b.rank ? a.rank > b.rank : a.left > b.left; }

}  // namespace

std::uint64_t fresh_dropout_seed() {
  static const std::uint64_t base = [] {
    std::random_device device;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (std::uint64_t{device()} << 32 | device()) ^ now;
  }();
  static std::atomic<std::uint64_t> calls{0};
  return mix(base + kGolden * calls.fetch_add(1, std::memory_order_relaxed));
}

bool DropoutMerger::current(const Occurrence& occurrence, const std::vector<TokenId>& symbols) const {
  return next_[occurrence.left] == occurrence.right && symbols[occurrence.left] == occurrence.left_id &&
         symbols[occurrence.right] == occurrence.right_id;
}

void DropoutMerger::push(const Occurrence& occurrence) {
  heap_.push_back(occurrence);
  std::push_heap(heap_.begin(), heap_.end(), later<Occurrence, Occurrence>);
}

DropoutMerger::Occurrence DropoutMerger::pop() {
  std::pop_heap(heap_.begin(), heap_.end(), later<Occurrence, Occurrence>);
  const Occurrence occurrence = heap_.back();
  heap_.pop_back();
  return occurrence;
}

void DropoutMerger::offer(const std::vector<TokenId>& symbols, const MergeTable& merges, std::uint32_t left) {
  if (left == kNone) return;
  const std::uint32_t right = next_[left];
  if (right == kNone) return;
  const auto found = merges.find(pair_key(symbols[left], symbols[right]));
  if (found == merges.end()) return;
  push(Occurrence{found->second.rank, left, right, symbols[left], symbols[right]});
}

void DropoutMerger::apply(std::vector<TokenId>& symbols, const MergeTable& merges, const DropoutDraws& draws,
                          std::uint64_t offset) {
  const auto size = static_cast<std::uint32_t>(symbols.size());
  if (size < 2) return;
  heap_.clear();
  next_.resize(size);
  previous_.resize(size);
  for (std::uint32_t position = 0; position < size; ++position) {
    next_[position] = position + 1 < size ? position + 1 : kNone;
    previous_[position] = position > 0 ? position - 1 : kNone;
  }
  for (std::uint32_t position = 0; position + 1 < size; ++position) offer(symbols, merges, position);

  DrawStream stream(draws, offset);
  while (true) {
    // Occurrences in order of rank, then position; each is drawn once per step, so a copy of an
    // occurrence already looked at in this step is passed over.
    dropped_.clear();
    const Occurrence* chosen = nullptr;
    Occurrence candidate{};
    while (!heap_.empty()) {
      candidate = pop();
      if (!current(candidate, symbols)) continue;
      if (!dropped_.empty() && dropped_.back().left == candidate.left && dropped_.back().rank == candidate.rank) {
        continue;
      }
      if (stream.dropped()) {
        dropped_.push_back(candidate);
        continue;
      }
      chosen = &candidate;
      break;
    }
    if (chosen == nullptr) break;
    const RankedMerge& merge = merges.find(pair_key(chosen->left_id, chosen->right_id))->second;
    if (!merge.has_merged) break;
    const std::uint32_t left = chosen->left;
    const std::uint32_t right = chosen->right;
    symbols[left] = merge.merged;
    symbols[right] = kRemoved;
    next_[left] = next_[right];
    if (next_[right] != kNone) previous_[next_[right]] = left;
    for (const Occurrence& occurrence : dropped_) push(occurrence);
    offer(symbols, merges, previous_[left]);
    offer(symbols, merges, left);
  }

  std::size_t kept = 0;
  for (std::uint32_t position = 0; position != kNone; position = next_[position]) symbols[kept++] = symbols[position];
  symbols.resize(kept);
}

}  // namespace wrenmark
