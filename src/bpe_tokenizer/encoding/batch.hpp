#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"
#include "bpe_tokenizer/encoding/packed_encoding.hpp"
#include "bpe_tokenizer/encoding/shared_encoding_block.hpp"

namespace wrenmark {

// The packed encodings of a batch, in input order, in blocks of
// SharedEncodingBlock::kBatchBytes filled by the thread that encoded them. The batch is one user
// of each block; whoever takes an encoding out for longer adds a user of its block.
class EncodedBatch;

namespace batch_pieces {
class EncodedBatchPieces;
}

// What the calling thread of encode_batch does with encodings as soon as they are finished, while
// other threads still encode the rest: `take(batch, first, end)` gets consecutive elements whose
// entries in `batch` are final, on the calling thread, each element at most once, none of them
// after a failure or a stop was seen. Elements it is not given are in the batch at the end.
class FinishedEncodings {
 public:
  virtual void take(const EncodedBatch& batch, std::size_t first, std::size_t end) = 0;

 protected:
  ~FinishedEncodings() = default;
};

class EncodedBatch {
 public:
  struct Entry {
    SharedEncodingBlock* block;
    const std::byte* packed;
  };
  std::size_t size() const { return size_; }
  const Entry& operator[](std::size_t index) const { return entries_[index]; }

 private:
  friend class batch_pieces::EncodedBatchPieces;
  std::vector<EncodingBlockHandle> blocks_;
  // Left unset when made, since every element is written once: a vector would write zeros over
  // it first, a pass over as much memory as the texts' views on the calling thread.
  std::unique_ptr<Entry[]> entries_;
  std::size_t size_ = 0;
};

// Encodes every text, spread over the worker pool, with results in input order and each equal to
// what `encode` gives for that text. When elements fail, the one with the lowest index decides
// the error, its text prefixed by encode_batch_prefix(index). An empty batch succeeds even on an
// untrained tokenizer. Stops with a Cancelled error once `cancellation` asks.
// The tokenizer must not change meanwhile. The cache's tables are made ready on the calling
// thread and shared by the workers, each of which keeps a word cache of its own for the call.
// `finished`, when given, takes the encodings of finished pieces on the calling thread meanwhile.
Result<EncodedBatch> encode_batch(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                  std::span<const std::string_view> texts, Cancellation& cancellation,
                                  FinishedEncodings* finished = nullptr);

// The ids alone of every text of a batch, in input order, each piece's back to back.
class BatchIds {
 public:
  std::size_t size() const { return rows_.size(); }
  std::span<const TokenId> operator[](std::size_t index) const {
    const Row& row = rows_[index];
    return std::span<const TokenId>(piece_ids_[row.piece]).subspan(row.first, row.count);
  }

 private:
  friend Result<BatchIds> encode_batch_ids(const BpeTokenizer&, EncodingCache&, std::span<const std::string_view>,
                                           Cancellation&);
  struct Row {
    std::size_t piece;
    std::size_t first;
    std::size_t count;
  };
  std::vector<std::vector<TokenId>> piece_ids_;
  std::vector<Row> rows_;
};

// encode_batch for a caller that needs only the ids: nothing else is kept of the encodings.
Result<BatchIds> encode_batch_ids(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                  std::span<const std::string_view> texts, Cancellation& cancellation);

// The same for `decode`; failures are prefixed by decode_batch_prefix(index).
Result<std::vector<std::string>> decode_batch(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                              std::span<const std::vector<TokenId>> ids_batch,
                                              Cancellation& cancellation);

// "text {index}: " and "ids {index}: ", naming the element of a batch that failed.
std::string encode_batch_prefix(std::size_t index);
std::string decode_batch_prefix(std::size_t index);

}  // namespace wrenmark
