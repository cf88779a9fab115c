#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace wrenmark {

// The pieces of a batch as the threads encoding them see them: each is claimed once, by
// whichever thread is free, and settled once, as done or as failed. The thread that owns the
// board (the one that called the batch) hands the done pieces over, in any order, each once,
// while the others are still encoding, so that what it makes of them overlaps the encoding.
// A board can also start with no piece ready, for texts that the owner makes ready itself while
// the others already encode: then it publishes them from the last to the first, and the others
// claim from the back only what is published.
class PieceBoard {
 public:
  enum class Readiness : std::uint8_t { kAllReady, kPublishedByOwner };

  explicit PieceBoard(std::size_t pieces, Readiness readiness = Readiness::kAllReady)
      : pieces_(pieces),
        states_(std::make_unique<std::atomic<std::uint8_t>[]>(pieces)),
        back_(pieces),
        ready_from_(readiness == Readiness::kAllReady ? 0 : pieces),
        handed_(pieces, false) {}

  // A piece nobody has claimed, or none once all are: the first one for the owner, the last one
  // for the other threads, so that each keeps to a run of neighbouring pieces, the same from one
  // call to the next, and its word cache to the words of that run.
  std::optional<std::size_t> claim(bool owner) {
    std::lock_guard lock(mutex_);
    if (front_ == back_) return std::nullopt;
    return owner ? front_++ : --back_;
  }

  // Not the owner: the last piece nobody has claimed once it is published, waiting for it when
  // `wait` is set; none once all are claimed or the board is abandoned.
  std::optional<std::size_t> claim_published(bool wait) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (front_ == back_ || abandoned_) return std::nullopt;
      if (back_ > ready_from_) return --back_;
      if (!wait) return std::nullopt;
      ready_changed_.wait(lock);
    }
  }

  // Owner only: pieces from `first` on are ready. Whatever the owner wrote for them before is
  // seen by the thread that claims them.
  void publish_from(std::size_t first) {
    {
      std::lock_guard lock(mutex_);
      ready_from_ = first;
    }
    ready_changed_.notify_all();
  }

  // Owner only: nothing more will be published, and nobody waits for it.
  void abandon() {
    {
      std::lock_guard lock(mutex_);
      abandoned_ = true;
    }
    ready_changed_.notify_all();
  }

  // Settles `piece` as done when `run()` gives true; as failed when it gives false or throws, so
  // that the owner is never left waiting for a piece nobody will settle (the exception goes on).
  template <typename Run>
  void run(std::size_t piece, Run&& run) {
    bool done = false;
    try {
      done = run();
    } catch (...) {
      settle(piece, false);
      throw;
    }
    settle(piece, done);
  }

  // Whatever the piece's thread wrote before is seen by the one that hands it over.
  void settle(std::size_t piece, bool done) {
    states_[piece].store(done ? kDone : kFailed, std::memory_order_release);
    {
      std::lock_guard lock(mutex_);
      ++settled_;
    }
    settled_changed_.notify_one();
  }

  // Owner only: hands every done piece not handed yet to `hand(piece)`.
  template <typename Hand>
  void hand_over(Hand&& hand) {
    for (std::size_t piece = first_open_; piece < pieces_; ++piece) {
      if (handed_[piece]) continue;
      const std::uint8_t state = states_[piece].load(std::memory_order_acquire);
      if (state == kPending) continue;
      handed_[piece] = true;
      if (state == kDone) hand(piece);
    }
    while (first_open_ < pieces_ && handed_[first_open_]) ++first_open_;
  }

  // Owner only, once it finds nothing left to claim: hands pieces over as the other threads
  // settle them, until all are, waking at least every `interval` for `between_waits()`.
  template <typename Hand, typename BetweenWaits>
  void hand_over_until_settled(Hand&& hand, std::chrono::milliseconds interval, BetweenWaits&& between_waits) {
    for (;;) {
      hand_over(hand);
      std::unique_lock lock(mutex_);
      if (settled_ == pieces_) break;
      const std::size_t seen = settled_;
      settled_changed_.wait_for(lock, interval, [&] { return settled_ != seen; });
      lock.unlock();
      between_waits();
    }
    hand_over(hand);
  }

 private:
  static constexpr std::uint8_t kPending = 0;
  static constexpr std::uint8_t kDone = 1;
  static constexpr std::uint8_t kFailed = 2;

  std::size_t pieces_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> states_;
  std::mutex mutex_;
  // The pieces not claimed yet.
  std::size_t front_ = 0;
  std::size_t back_;
  // The pieces published, from here to the end, and whether the owner gave up publishing.
  std::size_t ready_from_;
  bool abandoned_ = false;
  std::condition_variable ready_changed_;
  std::condition_variable settled_changed_;
  std::size_t settled_ = 0;
  // The owner's own: which pieces it has handed over, and the first it may not have.
  std::vector<bool> handed_;
  std::size_t first_open_ = 0;
};

}  // namespace wrenmark
