#include "bpe_tokenizer/encoding/batch.hpp"

#include <algorithm>
#include <optional>
#include <thread>

#include "bpe_tokenizer/encoding/batch_pieces.hpp"
#include "bpe_tokenizer/encoding/decode.hpp"
#include "bpe_tokenizer/encoding/encode.hpp"
#include "bpe_tokenizer/encoding/piece_board.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "tbb/enumerable_thread_specific.h"
#include "tbb/task_arena.h"

namespace wrenmark {

namespace {

// Pieces of work of about this many bytes of input: small enough that the calling thread, which
// takes pieces too, comes back to its stop checks often, large enough to keep scheduling cheap.
constexpr std::size_t kMinPieceBytes = 16 * 1024;
constexpr std::size_t kMaxPieceBytes = 512 * 1024;

// Cuts [0, count) into consecutive ranges of roughly even total size, element i weighing
// size_of(i) bytes.
template <typename SizeOf>
std::vector<std::size_t> piece_boundaries(std::size_t count, SizeOf&& size_of) {
  std::size_t total = 0;
  for (std::size_t index = 0; index < count; ++index) total += size_of(index) + 1;
  const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t target = std::clamp(total / (threads * 16), kMinPieceBytes, kMaxPieceBytes);
  std::vector<std::size_t> boundaries{0};
  std::size_t filled = 0;
  for (std::size_t index = 0; index < count; ++index) {
    filled += size_of(index) + 1;
    if (filled >= target) {
      boundaries.push_back(index + 1);
      filled = 0;
    }
  }
  if (boundaries.back() != count) boundaries.push_back(count);
  return boundaries;
}

// Runs `work(piece, index)` for every element of the pieces of `boundaries` over the pool and
// fails with the error of the lowest failing index, prefixed by `prefix`. The pieces are claimed
// by whichever thread is free (PieceBoard::claim), one task per thread rather than per piece, and
// the calling thread hands each piece whose elements all succeeded to `finished(piece)` between
// its own pieces and, once none are left to claim, as the others finish theirs, so that what it
// does with them overlaps the encoding of the rest instead of following it. `make_work()` runs
// once per task, on its thread, at its first piece, and gives the `work(piece, index)` of that
// task, so that what a thread needs is looked up once, not per element. Pieces left over (the
// calling thread ran none of the tasks) are handed over at the end; none are after a failure or
// a stop.
template <typename MakeWork, typename Finished>
Status run_pieces(const std::vector<std::size_t>& boundaries, Cancellation& cancellation,
                  std::string (*prefix)(std::size_t), MakeWork&& make_work, Finished&& finished) {
  // A signal that came while the arguments were converted is seen before any work starts.
  if (cancellation.check_now()) return TokenizerError::cancelled();
  const std::size_t pieces = boundaries.size() - 1;
  batch_pieces::FirstFailure failure;
  PieceBoard board(pieces);
  const batch_pieces::PieceRun run{board, boundaries, cancellation, failure};
  const auto hand = [&](std::size_t piece) {
    if (run.handing_over()) finished(piece);
  };
  const std::size_t tasks = std::min<std::size_t>(pieces, std::max(1, tbb::this_task_arena::max_concurrency()));
  parallel_ranges(tasks, 1, [&](std::size_t, std::size_t) {
    if (cancellation.on_owner_thread()) {
      run.as_owner(make_work, hand);
    } else {
      run.claimed([&] { return board.claim(false); }, make_work, [] {});
    }
  });
  return run.outcome(prefix, hand);
}

}  // namespace

std::string encode_batch_prefix(std::size_t index) { return "text " + std::to_string(index) + ": "; }
std::string decode_batch_prefix(std::size_t index) { return "ids " + std::to_string(index) + ": "; }

namespace {

// Encodes every text on the pool with the tokenizer's options and hands each encoding to
// `keep(piece, index, encoding)` on the thread that made it; `start(piece_count)` runs first,
// once the texts are divided into pieces, and `finished(first, end)` gets the elements of
// finished pieces on the calling thread, as run_pieces says. Fails as encode_batch does.
template <typename Start, typename Keep, typename Finished>
Status encode_each(const BpeTokenizer& tokenizer, EncodingCache& cache, std::span<const std::string_view> texts,
                   Cancellation& cancellation, Start&& start, Keep&& keep, Finished&& finished) {
  if (!tokenizer.trained()) {
    return TokenizerError::invalid_state("Cannot encode text without training the tokenizer")
        .prefixed(encode_batch_prefix(0));
  }
  PreparedEncoding& prepared = cache.prepare(tokenizer);
  const EncodingTables& tables = prepared.tables();
  const EncodeOptions options = encode_options(tokenizer, tables);
  const std::vector<std::size_t> boundaries =
      piece_boundaries(texts.size(), [&](std::size_t index) { return texts[index].size(); });
  start(boundaries.size() - 1);
  // One word cache per worker thread for the call, leased from the prepared tables so that it
  // stays warm from one call to the next; the leases end with the call, also when it throws.
  tbb::enumerable_thread_specific<WordCacheLease> word_caches;
  return run_pieces(
      boundaries, cancellation, encode_batch_prefix,
      [&] {
        WordCacheLease& lease = word_caches.local();
        if (!lease) lease = prepared.lease_word_cache();
        return [&, word_cache = &*lease](std::size_t piece, std::size_t index) -> Status {
          Result<const EncodingBuilder*> encoding =
              batch_pieces::encode_element(tables, *word_cache, texts[index], options, index);
          if (!encoding) return encoding.error();
          return keep(piece, index, *encoding.value());
        };
      },
      [&](std::size_t piece) { finished(boundaries[piece], boundaries[piece + 1]); });
}

}  // namespace

Result<EncodedBatch> encode_batch(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                  std::span<const std::string_view> texts, Cancellation& cancellation,
                                  FinishedEncodings* finished) {
  if (texts.empty()) return EncodedBatch{};
  batch_pieces::EncodedBatchPieces pieces;
  Status status = encode_each(
      tokenizer, cache, texts, cancellation, [&](std::size_t count) { pieces.prepare(texts.size(), count); },
      [&](std::size_t piece, std::size_t index, const EncodingBuilder& encoding) {
        return pieces.keep(piece, index, encoding);
      },
      [&](std::size_t first, std::size_t end) {
        if (finished != nullptr) finished->take(pieces.batch(), first, end);
      });
  if (!status) return status.error();
  return pieces.take();
}

Result<BatchIds> encode_batch_ids(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                  std::span<const std::string_view> texts, Cancellation& cancellation) {
  if (texts.empty()) return BatchIds{};
  BatchIds batch;
  batch.rows_.resize(texts.size());
  Status status = encode_each(
      tokenizer, cache, texts, cancellation, [&](std::size_t pieces) { batch.piece_ids_.resize(pieces); },
      [&](std::size_t piece, std::size_t index, const EncodingBuilder& encoding) -> Status {
        const std::span<const TokenId> ids = encoding.ids();
        std::vector<TokenId>& piece_ids = batch.piece_ids_[piece];
        batch.rows_[index] = BatchIds::Row{piece, piece_ids.size(), ids.size()};
        piece_ids.insert(piece_ids.end(), ids.begin(), ids.end());
        return {};
      },
      [](std::size_t, std::size_t) {});
  if (!status) return status.error();
  return batch;
}

Result<std::vector<std::string>> decode_batch(const BpeTokenizer& tokenizer, EncodingCache& cache,
                                              std::span<const std::vector<TokenId>> ids_batch,
                                              Cancellation& cancellation) {
  if (ids_batch.empty()) return std::vector<std::string>{};
  if (!tokenizer.trained()) {
    return TokenizerError::invalid_state("Cannot decode text without training the tokenizer")
        .prefixed(decode_batch_prefix(0));
  }
  const EncodingTables& tables = cache.tables(tokenizer);
  const std::vector<std::size_t> boundaries =
      piece_boundaries(ids_batch.size(), [&](std::size_t index) { return ids_batch[index].size() * 4; });
  std::vector<std::string> texts(ids_batch.size());
  Status status = run_pieces(
      boundaries, cancellation, decode_batch_prefix,
      [&] {
        return [&](std::size_t, std::size_t index) -> Status {
          texts[index] = decode(tables, ids_batch[index], tokenizer.settings.byte_fallback);
          return {};
        };
      },
      [](std::size_t) {});
  if (!status) return status.error();
  return texts;
}

}  // namespace wrenmark
