// The controller without a window, for automated lines and tests: starts up as the window
// does, presses OK once, prints the log, status changes and message boxes (UTF-8), answers
// question boxes from --yes/--no, and ends when the session is over or idle again.
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "ConsoleInterrupts.h"
#include "platform/Headless.h"
#include "platform/Interrupts.h"
#include "platform/Text.h"
#include "update/Updatemain.h"

namespace {

// Output comes from the window's thread and from the interrupt watch.
std::mutex gOutput;
// On a terminal the title progress is one line that rewrites itself.
bool gTerminal = false;
bool gProgressShown = false;

// Ends the progress line before anything else is printed.
void EndProgressLine() {
  if (!gProgressShown) return;
  std::fputc('\n', stdout);
  gProgressShown = false;
}

void ShowProgress(const std::string& cp1252) {
  std::lock_guard lock(gOutput);
  const std::string text = platform::Cp1252ToUtf8(cp1252);
  if (gTerminal) {
    std::printf("\r%s\x1b[K", text.c_str());
    gProgressShown = true;
  } else {
    std::printf("[title] %s\n", text.c_str());
  }
  std::fflush(stdout);
}

void Print(const std::string& prefix, const std::string& cp1252) {
  std::string text;
  // CR LF and a lone CR both show as one line break.
  for (std::size_t i = 0; i < cp1252.size(); ++i) {
    if (cp1252[i] == '\r') {
      text += '\n';
      if (i + 1 < cp1252.size() && cp1252[i + 1] == '\n') ++i;
    } else {
      text += cp1252[i];
    }
  }
  text = platform::Cp1252ToUtf8(text);
  std::lock_guard lock(gOutput);
  EndProgressLine();
  std::printf("%s%s\n", prefix.c_str(), text.c_str());
  std::fflush(stdout);
}

// The run's end, with the progress line closed.
void Note(const char* text) {
  std::lock_guard lock(gOutput);
  EndProgressLine();
  std::printf("[console] %s\n", text);
  std::fflush(stdout);
}

const char* IconName(platform::BoxIcon icon) {
  switch (icon) {
    case platform::BoxIcon::Error: return "error";
    case platform::BoxIcon::Information: return "info";
    case platform::BoxIcon::Question: return "question";
    case platform::BoxIcon::Warning: return "warning";
    case platform::BoxIcon::None: break;
  }
  return "box";
}

int Usage() {
  std::fprintf(stderr,
               "usage: update-console [--yes|--no] [--debug] [--timeout SECONDS]\n"
               "  Runs one update in the current package folder and prints what the window shows.\n"
               "  --yes / --no   answer to question boxes (default --yes)\n"
               "  --debug        trace commands and replies in the log\n"
               "  --timeout S    give up after S seconds (default 3600)\n"
               "Exit status: 0 when the session ended well, 5 when no port could be used, 128 + the\n"
               "signal when Ctrl+C or SIGTERM ended it, 1 otherwise. While the instrument is being\n"
               "programmed the first Ctrl+C only warns; a second one aborts.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  platform::BoxResult answer = platform::BoxResult::Yes;
  bool debug = false;
  unsigned long timeoutSeconds = 3600;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--yes")) answer = platform::BoxResult::Yes;
    else if (!std::strcmp(argv[i], "--no")) answer = platform::BoxResult::No;
    else if (!std::strcmp(argv[i], "--debug")) debug = true;
    else if (!std::strcmp(argv[i], "--timeout") && i + 1 < argc) timeoutSeconds = std::strtoul(argv[++i], nullptr, 10);
    else return Usage();
  }

  gTerminal = platform::OutputIsTerminal(stdout);
  // Before any thread starts (the ports' threads come with the window).
  app::ConsoleInterrupts interrupts([](const std::string& text) { Print("", text); });

  platform::HeadlessApplication app;
  app.DefaultAnswer = answer;
  app.OnMessageBox = [](const platform::BoxRecord& box) {
    Print(std::string("[") + IconName(box.icon) + " box] " + platform::Cp1252ToUtf8(box.caption) + ": ",
          box.text);
    if (box.buttons == platform::BoxButtons::YesNo)
      std::printf("[answer] %s\n", box.answer == platform::BoxResult::Yes ? "Yes" : "No");
  };
  app.OnTitleChanged = [](const std::string& title) { ShowProgress(title); };

  try {
    update::TUpdateForm::Options options;
    update::TUpdateForm form(options);
    form.DebugMode = debug;
    form.UpdateMemo->OnLineAdded = [](const std::string& line) { Print("", line); };
    form.UpdateStatusBar->OnPanelChanged = [](std::size_t panel, const std::string& text) {
      // On a terminal the progress line shows what the progress panel says.
      if (panel == 4 && gTerminal) return;
      Print("[status " + std::to_string(panel) + "] ", text);
    };
    for (const std::string& line : form.UpdateMemo->Lines()) Print("", line);
    if (form.Closed()) return 1;
    interrupts.Attach(form);
    struct Detach {
      app::ConsoleInterrupts& i;
      ~Detach() { i.Detach(); }
    } detach{interrupts};

    form.Show();
    form.OkBitBtn->Click();
    std::uint32_t start = app.GetClock().Milliseconds();
    // The session is over when the program ended, when it reports its outcome, or when it
    // is idle again with the OK button enabled.
    while (!form.Closed() && !app.Terminated() && !form.SessionOver() && !form.OkBitBtn->Enabled()) {
      if (app.GetClock().Milliseconds() - start > timeoutSeconds * 1000) {
        Note(("gave up after " + std::to_string(timeoutSeconds) + " s").c_str());
        return 1;
      }
      app.ProcessMessages();
      app.WaitMessage(200);
    }
    if (interrupts.ExitStatus() != 0) return interrupts.ExitStatus();
    if (form.SessionOutcome() == update::TUpdateForm::Outcome::NoPort) {
      Note("no port could be used");
      form.Close();
      return 5;
    }
    int status = form.SessionSucceeded() ? 0 : 1;
    Note(status == 0 ? "session ended well" : "session did not end well");
    if (!form.Closed()) form.Close();
    return status;
  } catch (const std::exception& e) {
    Note((std::string("error: ") + e.what()).c_str());
    return 1;
  }
}
