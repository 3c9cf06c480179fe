// The production-line launcher: one update-console per device, all at the same time, each
// opening only its own port; one line of progress per instrument while they run, a summary
// table at the end, and a non-zero status when any run did not end well.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Json.h"
#include "app/LineView.h"
#include "platform/Console.h"
#include "platform/Files.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The block of run lines, redrawn in place on a terminal; elsewhere a line when a run's state
// changes (progress in quarters).
class LineScreen {
 public:
  LineScreen(std::vector<app::LineRun>& runs, bool terminal) : runs_(runs), terminal_(terminal) {
    for (const auto& r : runs_) labelWidth_ = std::max(labelWidth_, r.label.size());
    shown_.resize(runs_.size());
  }

  void Update(bool force) {
    if (terminal_) {
      if (!force && drawn_ && SecondsSince(lastDraw_) < 0.25) return;
      std::vector<std::string> lines;
      for (const auto& r : runs_) lines.push_back(app::RunLine(r, labelWidth_, 110));
      if (drawn_ && lines == drawnLines_) return;
      if (drawn_) std::printf("\033[%zuA", runs_.size());
      for (const auto& line : lines) std::printf("\r\033[K%s\n", line.c_str());
      drawn_ = true;
      drawnLines_ = std::move(lines);
      lastDraw_ = Clock::now();
    } else {
      for (std::size_t i = 0; i < runs_.size(); ++i) {
        // The result is shown once the run has ended, with its exit status.
        if (!runs_[i].outcome.empty() && !runs_[i].ended) continue;
        std::string state = Coarse(runs_[i]);
        if (state == shown_[i]) continue;
        shown_[i] = state;
        std::printf("%s: %s\n", runs_[i].label.c_str(), runs_[i].State().c_str());
      }
    }
    std::fflush(stdout);
  }

 private:
  static std::string Coarse(const app::LineRun& r) {
    std::string s = r.outcome.empty() ? r.phase : r.State();
    if (r.outcome.empty() && r.phase == "programming" && r.percent >= 0)
      s += " " + std::to_string(static_cast<int>(r.percent / 25.0));
    return s;
  }

  std::vector<app::LineRun>& runs_;
  bool terminal_;
  bool drawn_ = false;
  std::size_t labelWidth_ = 4;
  Clock::time_point lastDraw_;
  std::vector<std::string> shown_;
  std::vector<std::string> drawnLines_;
};

}  // namespace

int main(int argc, char** argv) {
  app::LineOptions o;
  std::string error;
  if (!app::ParseLineOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    std::fprintf(stderr, "update-line: %s\nTry 'update-line --help'.\n", error.c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(app::LineHelp().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    std::fputs(app::VersionText("update-line").c_str(), stdout);
    return 0;
  }
  std::string console = o.console.empty() ? platform::files::Join(platform::files::ExecutableFolder(), "update-console")
                                          : o.console;
  if (!o.logDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.logDir, ec);
    if (!platform::files::IsFolder(o.logDir)) {
      std::fprintf(stderr, "update-line: cannot create the log folder %s\n", o.logDir.c_str());
      return 2;
    }
  }

  std::vector<app::LineRun> runs;
  std::vector<std::string> labels;
  for (const std::string& device : o.devices) {
    app::LineRun run;
    run.device = device;
    run.label = app::DeviceLabel(device, labels);
    labels.push_back(run.label);
    runs.push_back(run);
  }

  platform::ChildGroup children;
  std::vector<int> childOf(runs.size(), -1);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::vector<std::string> args = {console, "--json", "--port", runs[i].device, "--timeout",
                                     std::to_string(o.timeoutSeconds), o.answerYes ? "--yes" : "--no"};
    if (!o.package.empty()) args.insert(args.end(), {"--package", o.package});
    if (o.language >= 0) args.insert(args.end(), {"--language", o.language == 1 ? "en" : "de"});
    if (!o.logDir.empty()) args.insert(args.end(), {"--log", platform::files::Join(o.logDir, runs[i].label + ".log")});
    int child = children.Start(args, error);
    if (child < 0) {
      runs[i].message = error;
      runs[i].End(-1, 0, 0.0, 0.0);
      runs[i].outcome = "not-started";
      continue;
    }
    childOf[i] = child;
  }

  LineScreen screen(runs, !o.json && platform::IsTerminal(stdout));
  if (!o.json) screen.Update(true);
  // Each run ends by its own time limit; this one is only for a run that does not. A run that
  // is programming takes a first SIGTERM as a warning only, the second aborts it (at the end
  // of a loader's wait, at most 8 s), a third ends it on the spot: so they come 10 s apart.
  const double limit = o.timeoutSeconds + 120.0;
  constexpr int kTerminateRequests = 3;
  constexpr double kTerminateSpacing = 10.0;
  int terminateRequests = 0;
  while (children.Running() > 0) {
    for (auto& out : children.Poll(200)) {
      for (std::size_t i = 0; i < runs.size(); ++i) {
        if (childOf[i] != out.child) continue;
        if (out.standardError) runs[i].TakeErrors(out.bytes);
        else runs[i].TakeOutput(out.bytes);
      }
    }
    bool ended = false;
    for (const auto& e : children.Reap()) {
      for (std::size_t i = 0; i < runs.size(); ++i)
        if (childOf[i] == e.child) runs[i].End(e.exitCode, e.signal, e.cpuSeconds, SecondsSince(start));
      ended = true;
    }
    if (terminateRequests < kTerminateRequests &&
        SecondsSince(start) > limit + terminateRequests * kTerminateSpacing) {
      for (std::size_t i = 0; i < runs.size(); ++i)
        if (!runs[i].ended && childOf[i] >= 0) children.Terminate(childOf[i]);
      ++terminateRequests;
    }
    if (!o.json) screen.Update(ended);
  }

  bool allWell = true;
  for (const auto& r : runs) allWell = allWell && r.exitCode == 0;
  if (o.json) {
    for (const auto& r : runs) {
      app::JsonObject line;
      line.Add("type", "line-result").Add("device", r.device).Add("exit", r.exitCode).Add("signal", r.signal);
      line.Add("time", r.seconds, 3).Add("cpu", r.cpuSeconds, 3);
      if (r.resultJson.empty()) line.AddNull("result");
      else line.AddRaw("result", r.resultJson);
      if (r.resultJson.empty()) line.AddOrNull("message", r.message);
      std::printf("%s\n", line.Text().c_str());
    }
  } else {
    std::printf("\n%s", app::SummaryTable(runs).c_str());
    for (const auto& r : runs)
      if (r.exitCode != 0 && !r.message.empty()) std::printf("%s: %s\n", r.label.c_str(), r.message.c_str());
  }
  std::fflush(stdout);
  return allWell ? 0 : 1;
}
