#pragma once
// Ctrl+C and SIGTERM in the console program. Outside programming the first request ends the
// run at once, in order: the window closes as on File/Exit (ports closed and restored). While
// the instrument is being programmed the first request only prints the warning that the window's
// close question shows, and the run goes on; a second one ends it as the window's close does
// after Yes. A third one ends the process on the spot.
#include <atomic>
#include <functional>
#include <string>

#include "platform/Components.h"
#include "platform/Interrupts.h"

namespace update {
class TUpdateForm;
}

namespace app {

class ConsoleInterrupts : public platform::Form {
 public:
  // print reports one message (Windows-1252 text) as the console's own words; any thread.
  explicit ConsoleInterrupts(std::function<void(const std::string&)> print);
  ~ConsoleInterrupts() override;

  // From now on requests act on form; before, and after Detach, a request ends the process.
  void Attach(update::TUpdateForm& form);
  void Detach();

  // 128 + the signal when a request ended the run, else 0.
  int ExitStatus() const { return signal_ ? 128 + signal_ : 0; }

  void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) override;

 private:
  void OnRequest(int signal, int count);
  void Warn();

  std::function<void(const std::string&)> print_;
  std::atomic<update::TUpdateForm*> form_{nullptr};
  std::string warning_;
  std::atomic<bool> warned_{false};
  int signal_ = 0;
  // Last: the watch's thread must end before the members it uses go.
  platform::InterruptWatch watch_;
};

}  // namespace app
