#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>

#include "bpe_tokenizer/core/cancellation.hpp"
#include "bpe_tokenizer/core/result.hpp"
#include "bpe_tokenizer/core/tokenizer.hpp"
#include "bpe_tokenizer/encoding/batch.hpp"
#include "bpe_tokenizer/encoding/encoding_cache.hpp"

namespace wrenmark {

// encode_batch for texts that only the calling thread can make ready (the binding's Python
// strings, read under the interpreter lock), made ready piece by piece while the pool's threads
// already encode the pieces ready before, instead of all of them before any encoding starts. The
// caller fills the pieces from the last to the first, publishing each, and the pool's threads
// take published pieces from the back; once all are published, finish() has the calling thread
// take the rest from the front, the pieces whose texts it read last. Results and errors are those
// of encode_batch for the same texts.
class StreamedBatch {
 public:
  // Batches smaller than this gain nothing from it: encode_batch keeps them on one thread.
  static constexpr std::size_t kMinTexts = 2048;

  // `tokenizer` must be trained, and stay unchanged until the end; `count` is at least 1. The
  // pieces are cut by count, since the sizes of the texts are not known yet. The caller's thread
  // is the one that publishes and finishes. The pool's threads start at once, taking the pieces
  // as they are published.
  StreamedBatch(const BpeTokenizer& tokenizer, EncodingCache& cache, std::size_t count);
  // Stops the pool's threads, when finish() did not run, and waits for them.
  ~StreamedBatch();
  StreamedBatch(const StreamedBatch&) = delete;
  StreamedBatch& operator=(const StreamedBatch&) = delete;

  std::size_t pieces() const;
  // Piece `piece` holds the texts from piece_begin(piece) up to piece_end(piece).
  std::size_t piece_begin(std::size_t piece) const;
  std::size_t piece_end(std::size_t piece) const;
  // For the caller to fill, a piece before it is published; the texts stay valid until the end.
  std::span<std::string_view> texts();

  // The texts of `piece` are filled: once each, from the last piece down to 0.
  void publish(std::size_t piece);
  // Once all are published: encodes what is left on the calling thread too and hands finished
  // pieces to `finished` meanwhile, as encode_batch does; `stop` answers the stop checks. Rethrows
  // what a thread of the pool threw.
  Result<EncodedBatch> finish(StopRequest& stop, FinishedEncodings* finished);

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace wrenmark
