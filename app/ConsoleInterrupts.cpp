#include "ConsoleInterrupts.h"

#include "platform/Application.h"
#include "procedure/Infotext.h"
#include "update/Updatemain.h"

namespace app {

namespace {
constexpr std::uint32_t kInterruptMessage = 0x8000 + 3000;
}

ConsoleInterrupts::ConsoleInterrupts(std::function<void(const std::string&)> print)
    : platform::Form(nullptr, "ConsoleInterrupts"),
      print_(std::move(print)),
      watch_([this](int signal, int count) { OnRequest(signal, count); }) {}

ConsoleInterrupts::~ConsoleInterrupts() { Detach(); }

void ConsoleInterrupts::Attach(update::TUpdateForm& form) {
  // The language is fixed for the run; the text is made here, on the window's thread.
  warning_ = form.ProgrammingWarning() + "\r\n" +
             procedure::Text(procedure::MsgInterruptAgainAborts, form.Language());
  form_.store(&form);
}

void ConsoleInterrupts::Detach() { form_.store(nullptr); }

void ConsoleInterrupts::Warn() {
  if (!warned_.exchange(true)) print_(warning_);
}

// On the watch's thread: the warning without delay (the window's thread may be held by a wait
// of several seconds), everything else on the window's thread.
void ConsoleInterrupts::OnRequest(int signal, int count) {
  update::TUpdateForm* form = form_.load();
  if (count >= 3 || !form || !platform::HasApp()) {
    print_("interrupted");
    platform::EndProcessNow(128 + signal);
  }
  if (count == 1 && form->ProgrammingInProgress()) {
    Warn();
    return;
  }
  if (!platform::App().PostMessage(this, kInterruptMessage, signal, count)) platform::EndProcessNow(128 + signal);
}

void ConsoleInterrupts::HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) {
  update::TUpdateForm* form = form_.load();
  if (message != kInterruptMessage || !form || form->Closed()) return;
  // Programming may have begun since the request was posted.
  if (lparam == 1 && !warned_ && form->ProgrammingInProgress()) {
    Warn();
    return;
  }
  signal_ = static_cast<int>(wparam);
  print_(form->ProgrammingInProgress() ? "interrupted: programming aborted" : "interrupted");
  form->CloseWithoutQuestion();
}

}  // namespace app
