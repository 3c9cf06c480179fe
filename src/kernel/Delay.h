#pragma once
// The one way a procedure waits a fixed time. With message processing the window stays
// responsive while it waits (handlers may run, and may wait themselves: every call keeps its
// own start and end); without, the window's thread is held for the whole wait. Either way
// the thread sleeps between checks of the clock instead of spinning. Window thread only.
namespace kernel {

class TDelay {
 public:
  // When disabled (the state of a new instance) DelayTime returns at once.
  void SetEnable(bool enable) { enable_ = enable; }
  bool Enable() const { return enable_; }
  // Every requested time is divided by it; values below 1 are stored as 1. Initially 1.
  void SetDividend(long dividend) { dividend_ = dividend < 1 ? 1 : dividend; }
  long Dividend() const { return dividend_; }

  // Waits ms / Dividend milliseconds (truncated; nothing when that is 0 or less). With
  // processMessages the pending window messages are handled at least once and again
  // whenever new ones arrive, until the time is up.
  void DelayTime(long ms, bool processMessages);

 private:
  bool enable_ = false;
  long dividend_ = 1;
};

}  // namespace kernel
