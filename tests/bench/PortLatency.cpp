// Port benchmark on a pseudo-terminal pair: the time from a byte written on the far side to
// the window's data message (median and 99th percentile), and the processor time an open,
// idle port uses. Not a test; scripts/bench_port.sh runs it.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "PtyPair.h"
#include "comport/Comport.h"
#include "platform/Headless.h"

namespace {

using Clock = std::chrono::steady_clock;

class TimingForm : public platform::Form {
 public:
  TimingForm() : platform::Form(nullptr, "BenchForm") {}
  void HandleMessage(std::uint32_t message, std::intptr_t, std::intptr_t) override {
    if (message == comport::V24MsgRxData) {
      last = Clock::now();
      ++count;
    }
  }
  Clock::time_point last;
  int count = 0;
};

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
  int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  platform::HeadlessApplication app;
  TimingForm form;
  comport_test::PtyPair pty;
  if (!pty.Ok()) {
    std::fprintf(stderr, "no pseudo-terminal\n");
    return 1;
  }
  platform::SetSerialPortMap("1=" + pty.SlavePath());
  comport::TComPort port(nullptr);
  comport::V24ParameterTag& r = port.GetV24Parameter();
  r.StopBits = comport::S_2;
  r.TXTimeOut = 10000;
  r.TXTimeOutproChar = 1;
  r.KeinNullZeichen = true;
  if (port.Open(&form, 0, 0, true) == comport::InvalidPortHandle) {
    std::fprintf(stderr, "cannot open %s\n", pty.SlavePath().c_str());
    return 1;
  }

  std::vector<double> us;
  us.reserve(samples);
  char buf[64];
  for (int i = 0; i < samples; ++i) {
    int before = form.count;
    auto t0 = Clock::now();
    pty.Write("!");
    if (!app.RunUntil([&] { return form.count > before; }, 2000)) {
      std::fprintf(stderr, "sample %d: no message\n", i);
      return 1;
    }
    us.push_back(std::chrono::duration<double, std::micro>(form.last - t0).count());
    port.Read(buf, 63);  // as the window does; clears the outstanding notification
  }
  std::sort(us.begin(), us.end());
  double median = us[us.size() / 2];
  double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  std::printf("latency far-side write -> data message: median %.1f us, p99 %.1f us (%d samples)\n",
              median, p99, samples);

  double cpu0 = CpuSeconds();
  auto w0 = Clock::now();
  app.RunUntil([] { return false; }, static_cast<std::uint32_t>(idleSeconds) * 1000);
  double wall = std::chrono::duration<double>(Clock::now() - w0).count();
  double cpu = CpuSeconds() - cpu0;
  std::printf("idle open port: %.4f s CPU over %.1f s = %.3f %% of a core\n", cpu, wall,
              100.0 * cpu / wall);
  port.Close();
  return 0;
}
