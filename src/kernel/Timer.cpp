#include "kernel/Timer.h"

namespace kernel {

void TimerPool::Init(std::vector<platform::Timer*> timers) {
  timers_.fill(nullptr);
  busy_.fill(false);
  count_ = 0;
  for (platform::Timer* t : timers) {
    if (count_ == kMaxTimers) break;
    timers_[static_cast<std::size_t>(++count_)] = t;
  }
}

// Disabling first makes every backend begin the countdown again on enable.
void TimerPool::Rearm(platform::Timer& timer, std::uint32_t intervalMs) {
  timer.SetEnabled(false);
  timer.SetInterval(intervalMs);
  timer.SetEnabled(true);
}

std::int32_t TimerPool::StartTimer(std::int32_t intervalMs) {
  if (count_ == 0) return 0;
  std::int32_t slot = count_;
  for (std::int32_t i = 1; i < count_; ++i) {
    if (!busy_[static_cast<std::size_t>(i)]) {
      slot = i;
      break;
    }
  }
  busy_[static_cast<std::size_t>(slot)] = true;
  if (platform::Timer* t = timers_[static_cast<std::size_t>(slot)]) {
    Rearm(*t, intervalMs < 1 ? 1u : static_cast<std::uint32_t>(intervalMs));
  }
  return slot;
}

std::int32_t TimerPool::StopTimer(std::int32_t index) {
  if (Valid(index)) {
    busy_[static_cast<std::size_t>(index)] = false;
    if (platform::Timer* t = timers_[static_cast<std::size_t>(index)]) t->SetEnabled(false);
  }
  return 0;
}

void TimerPool::RestartTimer(std::int32_t index) {
  if (!Busy(index)) return;
  if (platform::Timer* t = timers_[static_cast<std::size_t>(index)]) Rearm(*t, t->Interval());
}

bool TimerPool::Busy(std::int32_t index) const {
  return Valid(index) && busy_[static_cast<std::size_t>(index)];
}

platform::Timer* TimerPool::TimerAt(std::int32_t index) const {
  return Valid(index) ? timers_[static_cast<std::size_t>(index)] : nullptr;
}

}  // namespace kernel
