#include "bpe_tokenizer/encoding/streamed_batch.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bpe_tokenizer/encoding/batch_pieces.hpp"
#include "bpe_tokenizer/encoding/encode.hpp"
#include "bpe_tokenizer/encoding/piece_board.hpp"
#include "bpe_tokenizer/system/thread_storage.hpp"
#include "bpe_tokenizer/system/worker_pool.hpp"
#include "tbb/enumerable_thread_specific.h"
#include "tbb/task_arena.h"
#include "tbb/task_group.h"

namespace wrenmark {

namespace {

// About as many pieces per thread as encode_batch cuts by size, and no fewer texts than keep a
// piece's claim and hand-over small beside its encoding.
constexpr std::size_t kPiecesPerThread = 16;
constexpr std::size_t kMinPieceTexts = 64;

std::vector<std::size_t> piece_boundaries_by_count(std::size_t count) {
  const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t per_piece =
      std::max(kMinPieceTexts, (count + threads * kPiecesPerThread - 1) / (threads * kPiecesPerThread));
  std::vector<std::size_t> boundaries;
  for (std::size_t first = 0; first < count; first += per_piece) boundaries.push_back(first);
  boundaries.push_back(count);
  return boundaries;
}

// The stop checks go to a StopRequest that finish() names, after the pool's threads, which only
// read the stop flag, have started.
class ForwardedStop final : public StopRequest {
 public:
  StopRequest* target = nullptr;
  bool stop_now() override { return target != nullptr && target->stop_now(); }
};

}  // namespace

class StreamedBatch::State {
 public:
  // The pool's threads start first, so that they wake while the arrays are made.
  State(const BpeTokenizer& tokenizer, EncodingCache& cache, std::size_t count)
      : prepared_(cache.prepare(tokenizer)),
        options_(encode_options(tokenizer, prepared_.tables())),
        boundaries_(piece_boundaries_by_count(count)),
        cancellation_(&stop_),
        board_(boundaries_.size() - 1, PieceBoard::Readiness::kPublishedByOwner) {
    start_pool();
    try {
      // Unset: the caller writes every view before publishing its piece.
      texts_ = std::unique_ptr<std::string_view[], FreeTexts>(std::allocator<std::string_view>().allocate(count),
                                                              FreeTexts{count});
      encodings_.prepare(count, pieces());
    } catch (...) {
      stop_pool();
      throw;
    }
  }

  ~State() { stop_pool(); }

  std::size_t pieces() const { return boundaries_.size() - 1; }
  std::size_t piece_begin(std::size_t piece) const { return boundaries_[piece]; }
  std::size_t piece_end(std::size_t piece) const { return boundaries_[piece + 1]; }
  std::span<std::string_view> texts() { return {texts_.get(), texts_.get_deleter().count}; }

  void publish(std::size_t piece) { board_.publish_from(piece); }

  Result<EncodedBatch> finish(StopRequest& stop, FinishedEncodings* finished) {
    stop_.target = &stop;
    const auto hand = [&](std::size_t piece) {
      if (run_.handing_over() && finished != nullptr) {
        finished->take(encodings_.batch(), boundaries_[piece], boundaries_[piece + 1]);
      }
    };
    // A signal that came while the texts were made ready stops the pool's threads too.
    if (!cancellation_.check_now()) run_.as_owner([&] { return ElementEncoder(*this); }, hand);
    join_pool();
    if (pool_failure_) std::rethrow_exception(pool_failure_);
    Status status = run_.outcome(encode_batch_prefix, hand);
    if (!status) return status.error();
    return encodings_.take();
  }

 private:
  // One thread's encoding of elements, with the word cache it leases for the call.
  class ElementEncoder {
   public:
    explicit ElementEncoder(State& state) : state_(state) {
      WordCacheLease& lease = state.word_caches_.local();
      if (!lease) lease = state.prepared_.lease_word_cache();
      word_cache_ = &*lease;
    }
    Status operator()(std::size_t piece, std::size_t index) {
      Result<const EncodingBuilder*> encoding = batch_pieces::encode_element(
          state_.prepared_.tables(), *word_cache_, state_.texts_[index], state_.options_, index);
      if (!encoding) return encoding.error();
      return state_.encodings_.keep(piece, index, *encoding.value());
    }

   private:
    State& state_;
    WordCache* word_cache_;
  };

  // A task of the pool. Run on the calling thread (the pool had no thread free until finish()
  // waited for it), it takes only what is published, waiting for nothing.
  void encode_published() {
    ready_thread_local_storage();
    const bool wait = !cancellation_.on_owner_thread();
    try {
      run_.claimed([&] { return board_.claim_published(wait); }, [&] { return ElementEncoder(*this); }, [] {});
    } catch (...) {
      if (!pool_failed_.test_and_set()) pool_failure_ = std::current_exception();
      cancellation_.stop();
    }
  }

  void start_pool() {
    if (!worker_pool_usable()) return;
    const std::size_t threads = std::min<std::size_t>(pieces(), std::max(1, tbb::this_task_arena::max_concurrency()));
    if (threads < 2) return;
    pool_use_.emplace();
    group_.emplace();
    try {
      for (std::size_t task = 1; task < threads; ++task) group_->run([this] { encode_published(); });
    } catch (...) {  // NOLINT(bugprone-empty-catch): the tasks that could not be made leave their pieces to finish()
    }
  }

  // Before the state goes: the tasks stop at their next text.
  void stop_pool() {
    if (!group_) return;
    cancellation_.stop();
    board_.abandon();
    join_pool();
  }

  void join_pool() {
    if (!group_) return;
    try {
      group_->wait();
    } catch (...) {  // NOLINT(bugprone-empty-catch): the tasks keep their own exceptions in pool_failure_
    }
    group_.reset();
    pool_use_.reset();
  }

  struct FreeTexts {
    std::size_t count;
    void operator()(std::string_view* texts) const { std::allocator<std::string_view>().deallocate(texts, count); }
  };

  PreparedEncoding& prepared_;
  const EncodeOptions options_;
  const std::vector<std::size_t> boundaries_;
  std::unique_ptr<std::string_view[], FreeTexts> texts_;
  batch_pieces::EncodedBatchPieces encodings_;
  ForwardedStop stop_;
  Cancellation cancellation_;
  batch_pieces::FirstFailure failure_;
  PieceBoard board_;
  const batch_pieces::PieceRun run_{board_, boundaries_, cancellation_, failure_};
  // One word cache per thread for the call, leased so that it stays warm from call to call.
  tbb::enumerable_thread_specific<WordCacheLease> word_caches_;
  std::atomic_flag pool_failed_;
  std::exception_ptr pool_failure_;
  std::optional<worker_pool_detail::PoolUse> pool_use_;
  std::optional<tbb::task_group> group_;
};

StreamedBatch::StreamedBatch(const BpeTokenizer& tokenizer, EncodingCache& cache, std::size_t count)
    : state_(std::make_unique<State>(tokenizer, cache, count)) {}
StreamedBatch::~StreamedBatch() = default;
std::size_t StreamedBatch::pieces() const { return state_->pieces(); }
std::size_t StreamedBatch::piece_begin(std::size_t piece) const { return state_->piece_begin(piece); }
std::size_t StreamedBatch::piece_end(std::size_t piece) const { return state_->piece_end(piece); }
std::span<std::string_view> StreamedBatch::texts() { return state_->texts(); }
void StreamedBatch::publish(std::size_t piece) { state_->publish(piece); }
Result<EncodedBatch> StreamedBatch::finish(StopRequest& stop, FinishedEncodings* finished) {
  return state_->finish(stop, finished);
}

}  // namespace wrenmark
