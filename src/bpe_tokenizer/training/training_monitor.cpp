#include "bpe_tokenizer/training/training_monitor.hpp"

namespace wrenmark {

namespace {

struct PhaseDescription {
  const char* name;
  ProgressUnit unit;
};

PhaseDescription describe(TrainingPhase phase) {
  switch (phase) {
    case TrainingPhase::CountingWords: return {"counting words", ProgressUnit::Bytes};
    case TrainingPhase::CountingPairs: return {"counting pairs", ProgressUnit::Items};  // building the word table too
    case TrainingPhase::Merging: return {"merging", ProgressUnit::Merges};
    case TrainingPhase::CountingItems: return {"counting words", ProgressUnit::TextItems};
  }
  return {"training", ProgressUnit::Items};
}

}  // namespace

TrainingMonitor::TrainingMonitor(Cancellation& cancellation, bool show_progress) : cancellation_(cancellation) {
  if (show_progress) display_.emplace();
}

bool TrainingMonitor::begin_phase(TrainingPhase phase, std::uint64_t total) {
  done_.store(0, std::memory_order_relaxed);
  bytes_beside_.store(0, std::memory_order_relaxed);
  if (display_) {
    const PhaseDescription description = describe(phase);
    display_->begin_phase(description.name, total, description.unit);
  }
  return cancellation_.check_now();
}

void TrainingMonitor::finish(bool completed) {
  if (display_) display_->finish(completed);
  display_.reset();
}

}  // namespace wrenmark
