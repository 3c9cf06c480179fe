#include "kernel/Delay.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/Application.h"

namespace kernel {

void TDelay::DelayTime(long ms, bool processMessages) {
  if (!enable_) return;
  const long wait = ms / dividend_;
  if (wait <= 0) return;
  const auto total = static_cast<std::uint64_t>(wait);

  if (!platform::HasApp()) {
    // No application (a tool or test without a window): nothing to process, just sleep.
    std::this_thread::sleep_for(std::chrono::milliseconds(total));
    return;
  }

  platform::Application& app = platform::App();
  platform::Clock& clock = app.GetClock();
  // The counter is 32 bits and wraps; summing the differences of successive readings keeps
  // a wrap (and waits longer than the counter's range) exact.
  std::uint64_t elapsed = 0;
  std::uint32_t last = clock.Milliseconds();
  // Each sleep is kept well inside the counter's range so that no difference is ambiguous.
  constexpr std::uint64_t kMaxSlice = 0x40000000u;
  for (;;) {
    if (processMessages) app.ProcessMessages();
    const std::uint32_t now = clock.Milliseconds();
    elapsed += static_cast<std::uint32_t>(now - last);
    last = now;
    if (elapsed >= total) return;
    std::uint64_t remaining = total - elapsed;
    if (remaining > kMaxSlice) remaining = kMaxSlice;
    if (processMessages) {
      app.WaitMessage(static_cast<std::uint32_t>(remaining));
    } else {
      app.Sleep(static_cast<std::uint32_t>(remaining));
    }
  }
}

}  // namespace kernel
