// The controller without a window, for production lines and tests: starts up as the window
// does, presses OK once, answers the message boxes from --yes/--no, reports what the window
// would show (for people, as JSON lines, into a log file) and ends when the session is over or
// idle again, with an exit status that says how it ended. Ctrl+C and SIGTERM end it in order
// (see ConsoleInterrupts.h).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ConsoleInterrupts.h"
#include "Version.h"
#include "app/CommandLine.h"
#include "app/ConsoleReport.h"
#include "app/RunSetup.h"
#include "comport/Comport.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Headless.h"
#include "platform/SerialDevice.h"
#include "platform/Text.h"
#include "procedure/Infotext.h"
#include "update/Updatemain.h"

namespace {

// CR LF and a lone CR both become one line break; the texts are Windows-1252 inside.
std::string Utf8Text(const std::string& cp1252) {
  std::string text;
  for (std::size_t i = 0; i < cp1252.size(); ++i) {
    if (cp1252[i] == '\r') {
      text += '\n';
      if (i + 1 < cp1252.size() && cp1252[i + 1] == '\n') ++i;
    } else {
      text += cp1252[i];
    }
  }
  return platform::Cp1252ToUtf8(text);
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

std::string PortName(int com) {
  std::string path = platform::SerialDevicePath(com);
  return "COM" + std::to_string(com) + (path.empty() ? "" : " = " + path);
}

app::Identity IdentityOf(update::TUpdateForm& form) {
  const procedure::DeviceRecord& r = form.Record();
  app::Identity id;
  // A refused stranger's record holds the package's names in its place.
  if (form.session.Refusal != update::RefusalTag::WrongDevice) id.name = Utf8Text(r.deviceName);
  id.deviceNumber = Utf8Text(r.deviceNumber);
  id.serial = Utf8Text(r.serialNumber);
  id.pcb = Utf8Text(r.pcbNumber);
  id.version = Utf8Text(r.softwareVersion);
  id.packageVersion = Utf8Text(r.packageVersion);
  return id;
}

// The ports the session searches, for the message when nothing answered.
std::vector<std::string> SearchedPorts(const update::TUpdateForm& form) {
  std::vector<std::string> ports;
  if (form.Settings().singlePortMode) {
    ports.push_back(PortName(form.Settings().fixedPort + 1));
    return ports;
  }
  for (int i = 0; i < form.PortCount && i < update::TUpdateForm::kMaxPorts; ++i)
    ports.push_back(PortName(form.ComNumbers[static_cast<std::size_t>(i)]));
  return ports;
}

int Finish(app::Reports& reports, app::RunResult& result, std::uint32_t timeoutSeconds,
           const std::vector<std::string>& searched) {
  result.message = app::ResultMessage(result, timeoutSeconds, searched);
  reports.Result(result);
  return app::ToInt(result.verdict.code);
}

}  // namespace

int main(int argc, char** argv) {
  app::ConsoleOptions o;
  std::string error;
  if (!app::ParseConsoleOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    std::fprintf(stderr, "update-console: %s\nTry 'update-console --help'.\n", error.c_str());
    return app::ToInt(app::ExitCode::Usage);
  }
  if (o.help) {
    std::fputs(app::ConsoleHelp().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    std::fputs(app::VersionText("update-console").c_str(), stdout);
    return 0;
  }

  // Opened before the package folder becomes the working folder, so that a relative name
  // means what the user meant. Each run appends to it.
  std::FILE* logFile = nullptr;
  if (!o.logFile.empty()) {
    logFile = std::fopen(o.logFile.c_str(), "a");
    if (!logFile) {
      std::fprintf(stderr, "update-console: cannot write the log file %s\n", o.logFile.c_str());
      return app::ToInt(app::ExitCode::Usage);
    }
  }

  app::Reports reports;
  if (o.json) reports.Add(std::make_unique<app::JsonReport>(stdout));
  else reports.Add(std::make_unique<app::HumanReport>(stdout, platform::IsTerminal(stdout), o.verbose));
  app::LogReport* log = nullptr;
  if (logFile) {
    auto report = std::make_unique<app::LogReport>(logFile, o.debug);
    log = report.get();
    reports.Add(std::move(report));
    std::string line = "update-console " UPDATE_VERSION " started:";
    for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
    log->Note(line);
    log->Note("working folder " + platform::files::CurrentFolder());
  }

  app::RunResult result;
  std::vector<std::string> searched;
  app::PreparedRun run;
  app::ExitCode prepared = app::PrepareRun(o.run, run, error);
  if (prepared == app::ExitCode::Usage) {
    std::fprintf(stderr, "update-console: %s\n", error.c_str());
    return app::ToInt(prepared);
  }
  if (prepared != app::ExitCode::Success) {
    result.verdict = {prepared, "package-problem", "package-folder"};
    result.package = run.packageFolder.empty() ? o.run.package : run.packageFolder;
    result.message = "package problem: " + error;
    reports.Result(result);
    return app::ToInt(prepared);
  }

  // Before any thread starts (the ports' threads come with the form): from here on the
  // watch's thread takes the requests.
  app::ConsoleInterrupts interrupts([&reports](const std::string& text) { reports.Note(Utf8Text(text)); });

  platform::HeadlessApplication application;
  application.DefaultAnswer = o.answerYes ? platform::BoxResult::Yes : platform::BoxResult::No;
  application.OnMessageBox = [&reports](const platform::BoxRecord& box) {
    app::BoxEvent e;
    e.icon = IconName(box.icon);
    e.caption = platform::Cp1252ToUtf8(box.caption);
    e.text = Utf8Text(box.text);
    e.question = box.buttons == platform::BoxButtons::YesNo;
    e.answeredYes = box.answer == platform::BoxResult::Yes;
    reports.Box(e);
  };
  application.OnTitleChanged = [&reports](const std::string& title) { reports.Title(Utf8Text(title)); };

  try {
    update::TUpdateForm form(run.formOptions);
    form.DebugMode = o.debug;
    bool identified = false;
    form.UpdateMemo->OnLineAdded = [&reports](const std::string& line) { reports.Memo(Utf8Text(line)); };
    form.UpdateStatusBar->OnPanelChanged = [&](std::size_t panel, const std::string& text) {
      std::string t = Utf8Text(text);
      if (panel == 4)
        if (auto percent = app::ProgressPercent(t)) {
          reports.Progress(*percent, t);
          return;
        }
      reports.Status(static_cast<int>(panel), t);
      // The check shows the package's version once it has taken the instrument's identity.
      if (panel == 3 && !identified && t.rfind("Version ", 0) == 0) {
        identified = true;
        reports.Instrument(IdentityOf(form));
      }
    };
    if (log) form.OnTrace = [&reports](const std::string& line) { reports.Trace(Utf8Text(line)); };
    for (const std::string& line : form.UpdateMemo->Lines()) reports.Memo(Utf8Text(line));

    result.package = form.PackageFolder();
    app::SessionFacts facts;
    if (form.Closed()) {
      facts.startupFailed = true;
      result.verdict = app::Classify(facts);
      return Finish(reports, result, o.timeoutSeconds, searched);
    }
    interrupts.Attach(form);
    struct Detach {
      app::ConsoleInterrupts& interrupts;
      ~Detach() { interrupts.Detach(); }
    } detach{interrupts};
    searched = SearchedPorts(form);
    std::vector<app::PortProblem> problems = app::FindPortProblems(form, run);
    if (!problems.empty()) {
      facts.portProblem = true;
      for (const auto& p : problems) result.problems.push_back(p.text);
      result.verdict = app::Classify(facts);
      return Finish(reports, result, o.timeoutSeconds, searched);
    }

    form.Show();
    form.OkBitBtn->Click();
    const std::uint32_t start = application.GetClock().Milliseconds();
    // The session is over when the program ended, when it reports its outcome, when it is
    // idle again with the OK button enabled, or when only a new start could go on (after the
    // Basic-Loader terminal: its outcome says whether it programmed).
    while (!form.Closed() && !application.Terminated() && !form.SessionOver() && !form.OkBitBtn->Enabled() &&
           !form.NewStartNeeded()) {
      if (application.GetClock().Milliseconds() - start > o.timeoutSeconds * 1000u) {
        facts.timedOut = true;
        break;
      }
      application.ProcessMessages();
      application.WaitMessage(200);
    }
    // An interrupt closed the window; its words are out already.
    if (interrupts.ExitStatus() != 0) return interrupts.ExitStatus();
    result.seconds = (application.GetClock().Milliseconds() - start) / 1000.0;

    facts.outcome = form.SessionOutcome();
    facts.refusal = form.session.Refusal;
    facts.instrumentFound = form.InstrumentPort() >= 0;
    comport::TComPort* port = form.InstrumentPortObject();
    facts.portGone = port && port->Gone();
    result.verdict = app::Classify(facts);
    // The ports went unusable after the start: what stands in the way now.
    if (facts.outcome == update::TUpdateForm::Outcome::NoPort) {
      for (const auto& p : app::FindPortProblems(form, run)) result.problems.push_back(p.text);
      if (result.problems.empty())
        result.problems.push_back(Utf8Text(procedure::Text(procedure::MsgNoUsablePort, form.Language())));
    }

    const procedure::DeviceRecord& r = form.Record();
    if (!r.deviceNumber.empty() || !r.serialNumber.empty() || !r.softwareVersion.empty() || !r.pcbNumber.empty())
      result.instrument = IdentityOf(form);
    result.versionBefore = Utf8Text(r.softwareVersion);
    if (facts.outcome == update::TUpdateForm::Outcome::Succeeded) result.versionAfter = Utf8Text(r.packageVersion);
    else if (facts.outcome == update::TUpdateForm::Outcome::NotNeeded) result.versionAfter = result.versionBefore;
    if (form.InstrumentCom() >= 0) {
      result.port = "COM" + std::to_string(form.InstrumentCom() + 1);
      result.device = platform::SerialDevicePath(form.InstrumentCom() + 1);
    }
    int status = Finish(reports, result, o.timeoutSeconds, searched);
    if (!form.Closed()) form.Close();
    return status;
  } catch (const std::exception& e) {
    reports.Note(std::string("error: ") + e.what());
    result.verdict = {app::ExitCode::Failed, "failed", "internal-error"};
    return Finish(reports, result, o.timeoutSeconds, searched);
  }
}
