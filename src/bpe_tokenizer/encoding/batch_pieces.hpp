#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer_error.hpp"
#include "bpe_tokenizer/encoding/batch.hpp"
#include "bpe_tokenizer/encoding/encode.hpp"
#include "bpe_tokenizer/encoding/piece_board.hpp"

// What the ways of running a batch share: the failure that decides its error, the loop over one
// piece's elements, and where the encodings of encode_batch are kept.
namespace wrenmark::batch_pieces {

// The failure with the lowest index seen so far. Elements after it need not be looked at.
class FirstFailure {
 public:
  bool beyond(std::size_t index) const { return index > lowest_.load(std::memory_order_relaxed); }
  bool any() const { return lowest_.load(std::memory_order_relaxed) != static_cast<std::size_t>(-1); }
  void offer(std::size_t index, const TokenizerError& error) {
    std::lock_guard lock(mutex_);
    if (!failure_ || index < lowest_.load(std::memory_order_relaxed)) {
      lowest_.store(index, std::memory_order_relaxed);
      failure_ = error;
    }
  }
  std::optional<std::pair<std::size_t, TokenizerError>> get() const {
    if (!failure_) return std::nullopt;
    return std::make_pair(lowest_.load(), *failure_);
  }

 private:
  std::mutex mutex_;
  std::atomic<std::size_t> lowest_{static_cast<std::size_t>(-1)};
  std::optional<TokenizerError> failure_;
};

// Runs `work(piece, index)` for the elements of `piece` (from boundaries[piece] up to
// boundaries[piece + 1]) in order: true when all succeeded, false at a stop, at an element after
// a known failure, or at a failing element, whose error goes to `failure`.
template <typename Work>
bool run_piece(const std::vector<std::size_t>& boundaries, std::size_t piece, Cancellation& cancellation,
               FirstFailure& failure, Work& work) {
  for (std::size_t index = boundaries[piece]; index < boundaries[piece + 1]; ++index) {
    if (cancellation.poll() || failure.beyond(index)) return false;
    Status status = work(piece, index);
    if (!status) {
      failure.offer(index, status.error());
      return false;
    }
  }
  return true;
}

// What the threads of one batch share, and how each runs its pieces.
struct PieceRun {
  PieceBoard& board;
  const std::vector<std::size_t>& boundaries;
  Cancellation& cancellation;
  FirstFailure& failure;

  // Runs the pieces that `claim()` gives until it gives none, calling `after_piece()` after each.
  // The thread's `work` is made at its first piece, so that what it needs is looked up once, and
  // a thread that finds nothing left makes none.
  template <typename Claim, typename MakeWork, typename AfterPiece>
  void claimed(Claim&& claim, MakeWork&& make_work, AfterPiece&& after_piece) const {
    std::optional<decltype(make_work())> work;
    while (const std::optional<std::size_t> piece = claim()) {
      if (!work) work.emplace(make_work());
      board.run(*piece, [&] { return run_piece(boundaries, *piece, cancellation, failure, *work); });
      after_piece();
    }
  }

  // The calling thread's share: pieces from the front, handing finished pieces to `hand` between
  // its own and then as the others settle theirs.
  template <typename MakeWork, typename Hand>
  void as_owner(MakeWork&& make_work, Hand&& hand) const {
    claimed([&] { return board.claim(true); }, make_work, [&] { board.hand_over(hand); });
    board.hand_over_until_settled(hand, Cancellation::kInterval, [&] { cancellation.poll(true); });
  }

  // Whether finished pieces are still handed over: none are after a failure or a stop.
  bool handing_over() const { return !failure.any() && !cancellation.stopped(); }

  // Once every thread is done: the batch's error, or success after handing over what is left.
  template <typename Hand>
  Status outcome(std::string (*prefix)(std::size_t), Hand&& hand) const {
    if (cancellation.stopped()) return TokenizerError::cancelled();
    if (auto failed = failure.get()) return failed->second.prefixed(prefix(failed->first));
    board.hand_over(hand);
    return {};
  }
};

// Encodes `text` as element `index` of a batch: dropout draws by the element's index.
inline Result<const EncodingBuilder*> encode_element(const EncodingTables& tables, WordCache& word_cache,
                                                     std::string_view text, const EncodeOptions& options,
                                                     std::size_t index) {
  EncodeOptions text_options = options;
  text_options.dropout.text_index = index;
  return encode(tables, word_cache, text, text_options);
}

// The encodings of encode_batch as the pieces make them: each piece fills blocks of its own, so
// the threads never share one, and they join the batch at the end.
class EncodedBatchPieces {
 public:
  void prepare(std::size_t texts, std::size_t pieces) {
    batch_.entries_ = std::make_unique_for_overwrite<EncodedBatch::Entry[]>(texts);
    batch_.size_ = texts;
    piece_blocks_.resize(pieces);
  }

  Status keep(std::size_t piece, std::size_t index, const EncodingBuilder& encoding) {
    const std::size_t size = encoding.packed_size();
    std::vector<EncodingBlockHandle>& blocks = piece_blocks_[piece];
    if (blocks.empty() || blocks.back()->room() < size) {
      blocks.emplace_back(SharedEncodingBlock::create(std::max(size, SharedEncodingBlock::kBatchBytes)));
    }
    batch_.entries_[index] = EncodedBatch::Entry{blocks.back().get(), blocks.back()->append(encoding)};
    return {};
  }

  // Complete for the elements of settled pieces.
  const EncodedBatch& batch() const { return batch_; }

  // Once no thread writes any more.
  EncodedBatch take() {
    for (std::vector<EncodingBlockHandle>& blocks : piece_blocks_) {
      for (EncodingBlockHandle& block : blocks) batch_.blocks_.push_back(std::move(block));
    }
    piece_blocks_.clear();
    return std::move(batch_);
  }

 private:
  EncodedBatch batch_;
  std::vector<std::vector<EncodingBlockHandle>> piece_blocks_;
};

}  // namespace wrenmark::batch_pieces
