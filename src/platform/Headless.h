#pragma once
// The headless backend: the same components with no pixels, a message queue, timers that
// expire on the window's thread, message boxes answered from a script and recorded, and an
// optional virtual clock that only moves when the program waits.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Application.h"

namespace platform {

class SteadyClock : public Clock {
 public:
  std::uint32_t Milliseconds() override;
};

// Time that moves only when told to (or when a headless wait has nothing else to do).
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(std::uint32_t start = 0) : now_(start) {}
  std::uint32_t Milliseconds() override;
  void Advance(std::uint32_t ms);

 private:
  std::mutex mutex_;
  std::uint32_t now_;
};

// Something outside the window's thread that may still be about to post a message (a port's
// receive thread, a simulated instrument). With the virtual clock, time is advanced only
// when every registered source says it is quiet, so that a reply already on its way is
// handled before a time-out that would not have happened in real time.
class ActivitySource {
 public:
  virtual ~ActivitySource() = default;
  virtual bool Quiet() = 0;
};
void RegisterActivitySource(ActivitySource* source);
void UnregisterActivitySource(ActivitySource* source);
// True when every registered source is quiet.
bool AllQuiet();

class HeadlessApplication : public Application {
 public:
  // Without a clock the steady clock is used; with a VirtualClock waits advance it.
  explicit HeadlessApplication(VirtualClock* virtualClock = nullptr);
  ~HeadlessApplication() override;

  Clock& GetClock() override;
  bool PostMessage(Form* target, std::uint32_t message, std::intptr_t wparam,
                   std::intptr_t lparam) override;
  void ProcessMessages() override;
  void WaitMessage(std::uint32_t ms) override;
  void Sleep(std::uint32_t ms) override;
  BoxResult MessageBox(const std::string& text, const std::string& caption, BoxIcon icon,
                       BoxButtons buttons) override;
  void TimerChanged(Timer& timer) override;
  void TimerDestroyed(Timer& timer) override;
  bool ExecuteOpenDialog(OpenDialog& dialog) override;
  void FormDestroyed(Form& form) override;
  void Run(Form& mainForm) override;

  // Answers for Yes/No boxes, used in order; when they run out, DefaultAnswer decides.
  void QueueAnswer(BoxResult answer) { answers_.push_back(answer); }
  BoxResult DefaultAnswer = BoxResult::Yes;
  const std::vector<BoxRecord>& Boxes() const { return boxes_; }
  void ClearBoxes() { boxes_.clear(); }
  // Beeps are counted, not heard.
  void Beep() override { ++beeps_; }
  int Beeps() const { return beeps_; }
  // What the open-file dialog returns; empty means the user cancelled.
  std::optional<std::string> NextOpenFile;

  std::size_t PendingMessages();
  // Runs ProcessMessages/WaitMessage until pred() holds or ms of clock time have passed.
  bool RunUntil(const std::function<bool()>& pred, std::uint32_t ms);

 private:
  struct Posted {
    Form* target;
    std::uint32_t message;
    std::intptr_t wparam, lparam;
  };
  struct TimerSlot {
    Timer* timer;
    std::uint32_t due;
  };
  bool FireDueTimers();
  std::optional<std::uint32_t> MsToNextTimer();

  SteadyClock steady_;
  VirtualClock* virtual_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Posted> queue_;
  std::vector<TimerSlot> timers_;
  std::vector<Form*> deadForms_;
  std::deque<BoxResult> answers_;
  std::vector<BoxRecord> boxes_;
  int beeps_ = 0;
};

}  // namespace platform
