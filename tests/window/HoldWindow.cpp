// A test program: the bare main window on the Qt backend the environment names, held by a
// wait without window messages as the loaders hold it. Prints "window <X id>" once the window
// shows, then "held <ms>" when the wait is over. Usage: hold_window [milliseconds] (8000).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <QWidget>

#include "platform/QtApplication.h"
#include "update/Updatemain.h"

int main(int argc, char** argv) {
  const long holdMs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 8000;
  int qtArgc = 1;
  platform::QtApplication app(qtArgc, argv);
  update::TUpdateForm::Options options;
  options.bareWindow = true;
  update::TUpdateForm form(options);
  form.Show();
  for (int i = 0; i < 20; ++i) app.WaitMessage(10);
  std::printf("window %llu\n", static_cast<unsigned long long>(app.WindowOf(form)->winId()));
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  form.wait.DelayTime(holdMs, false);
  const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("held %lld\n", static_cast<long long>(held.count()));
  std::fflush(stdout);
  return 0;
}
