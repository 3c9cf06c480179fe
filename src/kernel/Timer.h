#pragma once
// The pool of the main window's general-purpose timers. A holder takes a slot with
// StartTimer and keeps its index (1-based; 0 = no timer); the main window's expiry handler
// posts EvTimer with the timer's Tag (its slot) while the timer is enabled. Window thread only.
#include <array>
#include <cstdint>
#include <vector>

#include "platform/Components.h"

namespace kernel {

class TimerPool {
 public:
  static constexpr std::int32_t kMaxTimers = 20;

  // Takes the timers in slot order (slot i is timers[i-1]); more than kMaxTimers are ignored.
  // Clears every busy flag; the timers themselves are left as they are.
  void Init(std::vector<platform::Timer*> timers);

  // Takes the first free slot below the last one; when all of those are busy, the last slot
  // is taken whether busy or not (its holders then share it, with the newest interval).
  // Marks it busy and (re)starts its timer with a full interval. Intervals below 1 ms run as
  // 1 ms. 0 when the pool is empty.
  std::int32_t StartTimer(std::int32_t intervalMs);
  // Frees the slot and disables its timer; indices outside the pool do nothing. Always 0,
  // for the holder to store as its index.
  std::int32_t StopTimer(std::int32_t index);
  // A busy slot's timer starts its full interval anew; anything else does nothing.
  void RestartTimer(std::int32_t index);

  bool Busy(std::int32_t index) const;
  std::int32_t Count() const { return count_; }
  // The timer of a slot, or null outside the pool.
  platform::Timer* TimerAt(std::int32_t index) const;

  // For the expiry handler: an expiry that was already queued when the timer was disabled
  // must not be posted.
  static bool ShouldPost(const platform::Timer& timer) { return timer.Enabled(); }

 private:
  bool Valid(std::int32_t index) const { return index >= 1 && index <= count_; }
  static void Rearm(platform::Timer& timer, std::uint32_t intervalMs);

  std::array<platform::Timer*, kMaxTimers + 1> timers_{};  // slot 0 unused
  std::array<bool, kMaxTimers + 1> busy_{};
  std::int32_t count_ = 0;
};

}  // namespace kernel
