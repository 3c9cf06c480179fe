// Idle CPU of the main window: the bare window on the Qt backend waits in its TDelay with
// message processing, as the procedures do between steps. The wait must sleep in the event
// dispatcher, not spin. Usage: idle_window_bench [milliseconds] (default 5000).
// Prints "idle: X ms CPU over Y ms (Z% of one core)"; exits 1 when Z is 5 or more.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/QtApplication.h"
#include "update/Updatemain.h"

namespace {

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);  // all threads of the process
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  long waitMs = 5000;
  if (argc > 1) {
    char* end = nullptr;
    waitMs = std::strtol(argv[1], &end, 10);
    if (!end || *end || waitMs <= 0 || waitMs > 3600000) {
      std::fprintf(stderr, "usage: %s [milliseconds 1..3600000]\n", argv[0]);
      return 2;
    }
  }
  // No display needed; a display named by the caller is used as given.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int qtArgc = 1;
  platform::QtApplication app(qtArgc, argv);

  update::TUpdateForm::Options options;
  options.bareWindow = true;
  update::TUpdateForm form(options);
  form.Show();
  // Let the window settle (first layout and paint) before measuring.
  for (int i = 0; i < 5; ++i) app.ProcessMessages();

  double cpu0 = CpuMs();
  auto wall0 = std::chrono::steady_clock::now();
  form.wait.DelayTime(waitMs, true);
  double cpu = CpuMs() - cpu0;
  double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();

  double percent = wall > 0 ? 100.0 * cpu / wall : 0.0;
  std::printf("idle: %.1f ms CPU over %.0f ms (%.2f%% of one core)\n", cpu, wall, percent);
  if (wall + 1 < static_cast<double>(waitMs)) {
    std::printf("the wait ended %.0f ms early\n", static_cast<double>(waitMs) - wall);
    return 1;
  }
  return percent < 5.0 ? 0 : 1;
}
