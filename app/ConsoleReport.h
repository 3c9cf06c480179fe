#pragma once
// What update-console tells: the events of a run (memo lines, status changes, progress,
// message boxes, the identified instrument, the trace) and its result, written in one of three
// forms: for people (quiet by default, everything with --verbose), JSON lines, and a log file
// with time stamps. Texts arrive here as UTF-8 with "\n" line breaks.
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ExitCodes.h"
#include "update/SessionState.h"
#include "update/Updatemain.h"

namespace app {

struct Identity {
  std::string name;  // the package's name for it; empty when it is not one of the package's
  std::string deviceNumber, serial, pcb, version, packageVersion;
};

struct BoxEvent {
  std::string icon;  // error, info, question, warning, box
  std::string caption, text;
  bool question = false;
  bool answeredYes = false;
};

// What is known about a run when it ends.
struct SessionFacts {
  bool startupFailed = false;  // the configuration could not be read
  bool portProblem = false;    // the run's ports could not be opened
  update::TUpdateForm::Outcome outcome = update::TUpdateForm::Outcome::None;
  update::RefusalTag refusal = update::RefusalTag::None;
  bool instrumentFound = false;  // an instrument answered on a port
  bool portGone = false;         // the instrument's port went away
  bool timedOut = false;
};

struct Verdict {
  ExitCode code;
  const char* outcome;  // updated, up-to-date, refused, no-instrument, failed, port-problem, package-problem
  const char* reason;   // a finer cause, or ""
};
Verdict Classify(const SessionFacts& facts);

struct RunResult {
  Verdict verdict{ExitCode::Failed, "failed", ""};
  std::string message;  // one sentence for people
  std::optional<Identity> instrument;
  std::string versionBefore, versionAfter;  // empty: not known
  std::string port, device;                 // "COM3", "/dev/ttyUSB0"; empty: none
  std::string package;
  double seconds = 0.0;
  std::vector<std::string> problems;  // port problems in words
};

// The sentence of RunResult::message.
std::string ResultMessage(const RunResult& result, std::uint32_t timeoutSeconds,
                          const std::vector<std::string>& searchedPorts);

// "  12.5 %" -> 12.5; nothing for a text that is not a percentage.
std::optional<double> ProgressPercent(const std::string& text);

class Report {
 public:
  virtual ~Report() = default;
  virtual void Memo(const std::string& text) { (void)text; }
  virtual void Status(int panel, const std::string& text) { (void)panel, (void)text; }
  virtual void Progress(double percent, const std::string& text) { (void)percent, (void)text; }
  virtual void Box(const BoxEvent& box) { (void)box; }
  virtual void Title(const std::string& text) { (void)text; }
  virtual void Trace(const std::string& text) { (void)text; }
  virtual void Instrument(const Identity& id) { (void)id; }
  // The console's own words (port problems, a time limit).
  virtual void Note(const std::string& text) { (void)text; }
  virtual void Result(const RunResult& result) { (void)result; }
};

// For people. Quiet: the memo, the boxes, the instrument, one progress line (rewritten in
// place on a terminal, else a line at each tenth) and the result. Verbose: every status change
// and progress step as "[status N]" lines, the title, and the result as "[console]" lines.
class HumanReport : public Report {
 public:
  HumanReport(std::FILE* out, bool terminal, bool verbose) : out_(out), terminal_(terminal), verbose_(verbose) {}
  void Memo(const std::string& text) override;
  void Status(int panel, const std::string& text) override;
  void Progress(double percent, const std::string& text) override;
  void Box(const BoxEvent& box) override;
  void Title(const std::string& text) override;
  void Instrument(const Identity& id) override;
  void Note(const std::string& text) override;
  void Result(const RunResult& result) override;

 private:
  void EndProgressLine();
  void Line(const std::string& text);
  std::FILE* out_;
  bool terminal_, verbose_;
  bool progressShown_ = false;  // a progress line is open on the terminal
  double lastPercent_ = -1.0;
  double nextStep_ = 0.0;
};

// One JSON object per line: memo, status, progress, box, instrument, note, result.
class JsonReport : public Report {
 public:
  explicit JsonReport(std::FILE* out) : out_(out), start_(std::chrono::steady_clock::now()) {}
  void Memo(const std::string& text) override;
  void Status(int panel, const std::string& text) override;
  void Progress(double percent, const std::string& text) override;
  void Box(const BoxEvent& box) override;
  void Instrument(const Identity& id) override;
  void Note(const std::string& text) override;
  void Result(const RunResult& result) override;

 private:
  void Emit(const std::string& line);
  double Seconds() const;
  std::FILE* out_;
  std::chrono::steady_clock::time_point start_;
};

// The JSON result object, also used by the log and by the launcher's tests.
std::string ResultJson(const RunResult& result);

// The whole log with local time stamps, the trace included; flushed line by line.
class LogReport : public Report {
 public:
  // traceInMemo: the trace already reaches the memo (debug mode); it is not written twice.
  LogReport(std::FILE* file, bool traceInMemo) : file_(file), traceInMemo_(traceInMemo) {}
  ~LogReport() override;
  void Memo(const std::string& text) override;
  void Status(int panel, const std::string& text) override;
  void Progress(double percent, const std::string& text) override;
  void Box(const BoxEvent& box) override;
  void Trace(const std::string& text) override;
  void Instrument(const Identity& id) override;
  void Note(const std::string& text) override;
  void Result(const RunResult& result) override;

 private:
  void Write(const std::string& kind, const std::string& text);
  std::FILE* file_;
  bool traceInMemo_;
};

// Hands every event to each of its reports, one event at a time: the console's interrupts
// report from a thread of their own, and a line must not cut into another (nor into an open
// progress line).
class Reports : public Report {
 public:
  void Add(std::unique_ptr<Report> report) {
    std::lock_guard lock(mutex_);
    reports_.push_back(std::move(report));
  }
  void Memo(const std::string& text) override { Each([&](Report& r) { r.Memo(text); }); }
  void Status(int panel, const std::string& text) override { Each([&](Report& r) { r.Status(panel, text); }); }
  void Progress(double percent, const std::string& text) override {
    Each([&](Report& r) { r.Progress(percent, text); });
  }
  void Box(const BoxEvent& box) override { Each([&](Report& r) { r.Box(box); }); }
  void Title(const std::string& text) override { Each([&](Report& r) { r.Title(text); }); }
  void Trace(const std::string& text) override { Each([&](Report& r) { r.Trace(text); }); }
  void Instrument(const Identity& id) override { Each([&](Report& r) { r.Instrument(id); }); }
  void Note(const std::string& text) override { Each([&](Report& r) { r.Note(text); }); }
  void Result(const RunResult& result) override { Each([&](Report& r) { r.Result(result); }); }

 private:
  template <typename F>
  void Each(F&& f) {
    std::lock_guard lock(mutex_);
    for (auto& r : reports_) f(*r);
  }
  std::mutex mutex_;
  std::vector<std::unique_ptr<Report>> reports_;
};

}  // namespace app
