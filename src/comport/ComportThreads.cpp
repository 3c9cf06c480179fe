#include "comport/ComportThreads.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/Application.h"
#include "platform/ThreadMessages.h"

namespace comport {
namespace {

// A notification unanswered this long is withdrawn and posted again.
constexpr std::uint32_t kWatchMs = 5000;
// The receive wait's bound, so that the loop passes at least once a second.
constexpr std::uint32_t kWaitBound = 1000;

std::uint32_t SteadyMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

// ---- receive thread ----

TV24Read_Thread::TV24Read_Thread(platform::Form* window, int comNumber,
                                 platform::SerialDevice* device)
    : window_(window), com_(comNumber), dev_(device) {}

TV24Read_Thread::~TV24Read_Thread() {
  if (thread_.Running()) {
    Terminate();
    WaitFor();
  }
}

void TV24Read_Thread::Start() {
  thread_.Start([this] { Execute(); });
}

void TV24Read_Thread::Terminate() {
  {
    platform::Guard g(stateLock_);
    terminated_ = true;
  }
  stateCv_.NotifyAll();
  dev_->CancelWait();
}

void TV24Read_Thread::WaitFor() { thread_.Join(); }

void TV24Read_Thread::SetNotified(bool on) {
  platform::Guard g(lock_);
  notified_ = on;
}

bool TV24Read_Thread::Notified() {
  platform::Guard g(lock_);
  return notified_;
}

bool TV24Read_Thread::Running() {
  platform::Guard g(stateLock_);
  return thread_.Running() && !ended_;
}

bool TV24Read_Thread::Post(std::uint32_t windowMessage) {
  return platform::HasApp() &&
         platform::App().PostMessage(window_, windowMessage, com_, 0);
}

std::uint32_t TV24Read_Thread::Now() {
  // The application's clock, so that tests with virtual time see the watch in that time.
  return platform::HasApp() ? platform::App().GetClock().Milliseconds() : SteadyMs();
}

void TV24Read_Thread::Pause(std::uint32_t ms) {
  if (!ms) return;
  platform::Guard g(stateLock_);
  stateCv_.WaitFor(stateLock_, ms, [this] { return terminated_; });
}

void TV24Read_Thread::Execute() {
  bool seenMore = false;   // data came again while a notification was outstanding
  bool watching = false;   // the watch on an unanswered notification runs
  std::uint32_t watchStart = 0;
  unsigned remembered = 0; // event bits kept while watching
  for (;;) {
    {
      platform::Guard g(stateLock_);
      if (terminated_) break;
    }
    // While watching, wake when the watch runs out rather than up to a second later.
    std::uint32_t bound = kWaitBound;
    if (watching) {
      std::uint32_t elapsed = Now() - watchStart;
      bound = elapsed > kWatchMs ? 0 : std::min<std::uint32_t>(kWaitBound, kWatchMs + 1 - elapsed);
    }
    unsigned ev = dev_->WaitEvent(bound);
    if (ev & platform::SerialEvHangup) {
      // The device went away: nothing more will come; say so once and end instead of waking
      // for nothing.
      dev_->EventsHandled();
      Post(V24MsgHangUp);
      break;
    }
    std::uint32_t pauseMs = 0;
    if ((ev | remembered) & platform::SerialEvData) {
      bool post = false;
      {
        platform::Guard g(lock_);
        if (notified_ && watching && Now() - watchStart > kWatchMs) {
          // Unanswered too long: withdraw it and announce the data again now.
          notified_ = false;
          seenMore = false;
          watching = false;
        }
        if (!notified_) {
          notified_ = true;
          post = true;
        }
      }
      if (post) {
        if (!Post(V24MsgRxData)) SetNotified(false);
        seenMore = false;
        watching = false;
        remembered = 0;
        pauseMs = pause_;
      } else {
        if (seenMore && !watching) {
          watchStart = Now();
          watching = true;
          remembered = ev | platform::SerialEvData;
        }
        seenMore = true;
      }
    }
    if (ev & platform::SerialEvLineError) {
      unsigned e = dev_->TakeLineErrors();
      if ((e & platform::LineErrFraming) || e == 0) Post(V24MsgRxError);
      if (e & platform::LineErrOverrun) Post(V24MsgRxOverrun);
      if (e & platform::LineErrParity) Post(V24MsgRxParity);
      if (e & platform::LineErrBreak) dev_->ClearBreak();
    }
    dev_->EventsHandled();
    Pause(pauseMs);
  }
  platform::Guard g(stateLock_);
  ended_ = true;
}

TV24Read_Thread_ID::TV24Read_Thread_ID(unsigned long threadId, int comNumber,
                                       platform::SerialDevice* device)
    : TV24Read_Thread(nullptr, comNumber, device), threadId_(threadId) {}

bool TV24Read_Thread_ID::Post(std::uint32_t windowMessage) {
  // 32768 + offset becomes 1024 + offset.
  return platform::PostThreadMessage(threadId_, windowMessage - 32768 + 1024, ComNumber(), 0);
}

// ---- transmit thread ----

TV24Write_Thread::TV24Write_Thread(platform::SerialDevice* device)
    : dev_(device), staging_(V24StagingSize, 0) {
  thread_.Start([this] { Execute(); });
  platform::RegisterActivitySource(this);
}

TV24Write_Thread::~TV24Write_Thread() {
  platform::UnregisterActivitySource(this);
  Terminate();
  WaitFor();
}

bool TV24Write_Thread::Quiet() {
  platform::Guard g(lock_);
  return !(length_ && background_);
}

long TV24Write_Thread::Send(std::size_t length) { return dev_->Write(staging_.data(), length); }

void TV24Write_Thread::Execute() {
  lock_.lock();
  for (;;) {
    cv_.Wait(lock_, [this] { return (length_ && background_) || terminated_; });
    if (length_ && background_) {
      std::size_t n = length_;
      lock_.unlock();
      long written = Send(n);
      lock_.lock();
      // An aborted write (purge) is dropped without an error.
      if (written != platform::SerialDevice::kWriteAborted && written < static_cast<long>(n))
        error_ = true;
      lastWritten_ = written;
      length_ = 0;
      background_ = false;
      continue;
    }
    if (terminated_) break;
  }
  lock_.unlock();
}

int TV24Write_Thread::Submit(const std::uint8_t* data, std::size_t length, bool zanFraming,
                             bool background) {
  std::size_t total = length + (zanFraming ? 3 : 0);
  platform::Guard g(lock_);
  if (length_) return V24Busy;
  if (error_) return V24ShortWrite;
  if (total > staging_.size()) return 0;
  std::uint8_t* p = staging_.data();
  std::size_t send = length;
  if (zanFraming) {
    p[0] = 0x13;
    if (length) std::memcpy(p + 1, data, length);
    p[length + 1] = 0x11;
    p[length + 2] = 0;
    send = length + 2;
  } else if (length) {
    std::memcpy(p, data, length);
  }
  if (background) {
    if (!send) return 0;
    length_ = send;
    background_ = true;
    cv_.NotifyAll();
    return static_cast<int>(send);
  }
  if (!send) return 0;
  // On the caller's thread; the transmit thread stays idle (length_ is 0 for it).
  long written = dev_->Write(p, send);
  lastWritten_ = written;
  if (written < static_cast<long>(send)) {
    error_ = true;
    return V24ShortWrite;
  }
  return static_cast<int>(written);
}

bool* TV24Write_Thread::ClearError() {
  platform::Guard g(lock_);
  error_ = false;
  return &error_;
}

void TV24Write_Thread::Terminate() {
  {
    platform::Guard g(lock_);
    terminated_ = true;
  }
  cv_.NotifyAll();
}

void TV24Write_Thread::WaitFor() { thread_.Join(); }

}  // namespace comport
