#include "platform/Headless.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {

// ---- clocks ----

std::uint32_t SteadyClock::Milliseconds() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t VirtualClock::Milliseconds() {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualClock::Advance(std::uint32_t ms) {
  std::lock_guard lock(mutex_);
  now_ += ms;
}

// ---- activity sources ----

namespace {
std::mutex gSourcesMutex;
std::vector<ActivitySource*> gSources;

// With the virtual clock, how long (real time) a wait gives busy sources to settle before
// time moves on anyway; a source that never settles must not hang a test.
constexpr auto kSettleLimit = std::chrono::seconds(5);
}  // namespace

void RegisterActivitySource(ActivitySource* source) {
  std::lock_guard lock(gSourcesMutex);
  gSources.push_back(source);
}

void UnregisterActivitySource(ActivitySource* source) {
  std::lock_guard lock(gSourcesMutex);
  gSources.erase(std::remove(gSources.begin(), gSources.end(), source), gSources.end());
}

bool AllQuiet() {
  std::lock_guard lock(gSourcesMutex);
  for (ActivitySource* s : gSources)
    if (!s->Quiet()) return false;
  return true;
}

// ---- application ----

HeadlessApplication::HeadlessApplication(VirtualClock* virtualClock) : virtual_(virtualClock) {
  SetApp(this);
}

HeadlessApplication::~HeadlessApplication() {
  if (HasApp() && &App() == this) SetApp(nullptr);
}

Clock& HeadlessApplication::GetClock() {
  if (virtual_) return *virtual_;
  return steady_;
}

bool HeadlessApplication::PostMessage(Form* target, std::uint32_t message, std::intptr_t wparam,
                                      std::intptr_t lparam) {
  {
    std::lock_guard lock(mutex_);
    if (!target || terminated_ ||
        std::find(deadForms_.begin(), deadForms_.end(), target) != deadForms_.end())
      return false;
    queue_.push_back({target, message, wparam, lparam});
  }
  wake_.notify_all();
  return true;
}

std::size_t HeadlessApplication::PendingMessages() {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::optional<std::uint32_t> HeadlessApplication::MsToNextTimer() {
  if (timers_.empty()) return std::nullopt;
  std::uint32_t now = GetClock().Milliseconds();
  std::uint32_t best = UINT32_MAX;
  for (const TimerSlot& t : timers_) {
    auto left = static_cast<std::int32_t>(t.due - now);
    best = std::min<std::uint32_t>(best, left <= 0 ? 0u : static_cast<std::uint32_t>(left));
  }
  return best;
}

bool HeadlessApplication::FireDueTimers() {
  // Handlers may start, stop or destroy timers and run nested passes, so each slot is looked
  // up again right before it fires.
  std::vector<Timer*> due;
  std::uint32_t now = GetClock().Milliseconds();
  for (const TimerSlot& t : timers_)
    if (static_cast<std::int32_t>(now - t.due) >= 0) due.push_back(t.timer);
  bool fired = false;
  for (Timer* timer : due) {
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [timer](const TimerSlot& s) { return s.timer == timer; });
    if (it == timers_.end()) continue;
    if (static_cast<std::int32_t>(GetClock().Milliseconds() - it->due) < 0) continue;
    // Expiries that were missed while the thread was busy collapse into one, like WM_TIMER.
    it->due = GetClock().Milliseconds() + std::max<std::uint32_t>(1, timer->Interval());
    fired = true;
    if (timer->OnTimer) timer->OnTimer(*timer);
  }
  return fired;
}

void HeadlessApplication::ProcessMessages() {
  FireDueTimers();
  std::size_t n;
  {
    std::lock_guard lock(mutex_);
    n = queue_.size();
  }
  // Only what is pending now: messages posted by the handlers wait for the next pass.
  for (std::size_t i = 0; i < n; ++i) {
    Posted p;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      p = queue_.front();
      queue_.pop_front();
    }
    p.target->HandleMessage(p.message, p.wparam, p.lparam);
  }
}

void HeadlessApplication::WaitMessage(std::uint32_t ms) {
  if (ms == 0) return;
  std::uint32_t wait = std::min(ms, MsToNextTimer().value_or(ms));
  if (!virtual_) {
    std::unique_lock lock(mutex_);
    if (!queue_.empty() || wait == 0) return;
    wake_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return !queue_.empty(); });
    return;
  }
  // Virtual time: let the other threads finish what is on its way, then jump.
  auto start = std::chrono::steady_clock::now();
  while (true) {
    if (PendingMessages() > 0) return;
    if (AllQuiet() || std::chrono::steady_clock::now() - start > kSettleLimit) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (PendingMessages() > 0) return;
  virtual_->Advance(wait);
}

void HeadlessApplication::Sleep(std::uint32_t ms) {
  if (ms == 0) return;
  ++quietDepth_;
  if (!virtual_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  } else {
    auto start = std::chrono::steady_clock::now();
    while (!AllQuiet() && std::chrono::steady_clock::now() - start < kSettleLimit)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    virtual_->Advance(ms);
  }
  --quietDepth_;
}

BoxResult HeadlessApplication::MessageBox(const std::string& text, const std::string& caption,
                                          BoxIcon icon, BoxButtons buttons) {
  if (terminated_) return buttons == BoxButtons::YesNo ? BoxResult::No : BoxResult::Ok;
  BoxResult answer = BoxResult::Ok;
  if (buttons == BoxButtons::YesNo) {
    if (!answers_.empty()) {
      answer = answers_.front();
      answers_.pop_front();
    } else {
      answer = DefaultAnswer;
    }
    if (answer == BoxResult::Ok) answer = BoxResult::Yes;
  }
  boxes_.push_back({text, caption, icon, buttons, answer});
  if (OnMessageBox) OnMessageBox(boxes_.back());
  return answer;
}

void HeadlessApplication::TimerChanged(Timer& timer) {
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [&timer](const TimerSlot& s) { return s.timer == &timer; });
  if (!timer.Enabled()) {
    if (it != timers_.end()) timers_.erase(it);
    return;
  }
  std::uint32_t due = GetClock().Milliseconds() + std::max<std::uint32_t>(1, timer.Interval());
  if (it != timers_.end())
    it->due = due;
  else
    timers_.push_back({&timer, due});
}

void HeadlessApplication::TimerDestroyed(Timer& timer) {
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                               [&timer](const TimerSlot& s) { return s.timer == &timer; }),
                timers_.end());
}

bool HeadlessApplication::ExecuteOpenDialog(OpenDialog& dialog) {
  if (!NextOpenFile || NextOpenFile->empty()) return false;
  dialog.FileName = *NextOpenFile;
  NextOpenFile.reset();
  return true;
}

void HeadlessApplication::FormDestroyed(Form& form) {
  Application::FormDestroyed(form);
  std::lock_guard lock(mutex_);
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                              [&form](const Posted& p) { return p.target == &form; }),
               queue_.end());
  deadForms_.push_back(&form);
}

void HeadlessApplication::Run(Form& mainForm) {
  mainForm_ = &mainForm;
  if (mainForm.Closed()) return;
  mainForm.Show();
  while (!terminated_ && !mainForm.Closed()) {
    ProcessMessages();
    if (terminated_ || mainForm.Closed()) break;
    WaitMessage(1000);
  }
}

bool HeadlessApplication::RunUntil(const std::function<bool()>& pred, std::uint32_t ms) {
  std::uint32_t start = GetClock().Milliseconds();
  while (!pred()) {
    std::uint32_t elapsed = GetClock().Milliseconds() - start;
    if (elapsed >= ms) return false;
    ProcessMessages();
    if (pred()) break;
    WaitMessage(std::min<std::uint32_t>(ms - elapsed, 100));
  }
  return true;
}

}  // namespace platform
