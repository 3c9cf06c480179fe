#include "app/ConsoleReport.h"

#include <cmath>
#include <cstdlib>

#include "app/Json.h"
#include "platform/Console.h"

namespace app {

using Outcome = update::TUpdateForm::Outcome;
using update::RefusalTag;

Verdict Classify(const SessionFacts& f) {
  if (f.startupFailed) return {ExitCode::PackageProblem, "package-problem", "configuration-missing"};
  if (f.portProblem) return {ExitCode::PortProblem, "port-problem", "port-unusable"};
  switch (f.outcome) {
    case Outcome::Succeeded: return {ExitCode::Success, "updated", ""};
    case Outcome::NoPort: return {ExitCode::PortProblem, "port-problem", "port-unusable"};
    case Outcome::NotNeeded:
      return {ExitCode::Success, "up-to-date", f.refusal == RefusalTag::Declined ? "declined-repeat" : ""};
    case Outcome::Refused:
      switch (f.refusal) {
        case RefusalTag::PackageFile: return {ExitCode::PackageProblem, "package-problem", "package-file"};
        case RefusalTag::WrongDevice: return {ExitCode::Refused, "refused", "wrong-device"};
        case RefusalTag::NewerFirmware: return {ExitCode::Refused, "refused", "newer-firmware"};
        case RefusalTag::Declined: return {ExitCode::Refused, "refused", "declined"};
        case RefusalTag::None: return {ExitCode::Refused, "refused", ""};
      }
      break;
    case Outcome::None:
    case Outcome::Running:
    case Outcome::Failed:
      break;
  }
  if (f.portGone) return {ExitCode::PortProblem, "port-problem", "port-gone"};
  if (!f.instrumentFound) return {ExitCode::NoInstrument, "no-instrument", f.timedOut ? "timeout" : "no-answer"};
  return {ExitCode::Failed, "failed", f.timedOut ? "timeout" : "step-failed"};
}

namespace {

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", s);
  return text;
}

std::string Who(const RunResult& r) {
  if (!r.instrument) return "the instrument";
  std::string who = r.instrument->name.empty() ? "the instrument" : r.instrument->name;
  if (!r.instrument->serial.empty()) who += " (serial " + r.instrument->serial + ")";
  return who;
}

std::string Where(const RunResult& r) {
  if (r.port.empty()) return {};
  return r.port + (r.device.empty() ? "" : " = " + r.device);
}

}  // namespace

std::string ResultMessage(const RunResult& r, std::uint32_t timeoutSeconds,
                          const std::vector<std::string>& searchedPorts) {
  const std::string outcome = r.verdict.outcome, reason = r.verdict.reason;
  const std::string where = Where(r);
  if (outcome == "updated")
    return "updated " + Who(r) + " from " + r.versionBefore + " to " + r.versionAfter +
           (where.empty() ? "" : " on " + where) + " in " + Seconds(r.seconds);
  if (outcome == "up-to-date")
    return Who(r) + " already holds version " + r.versionBefore + "; not programmed again";
  if (outcome == "refused") {
    if (reason == "wrong-device") {
      std::string number = r.instrument && !r.instrument->deviceNumber.empty()
                               ? " (device number " + r.instrument->deviceNumber + ")"
                               : "";
      return "refused: the instrument" + number + " is not one this package is for";
    }
    if (reason == "newer-firmware")
      return "refused: the instrument's version " + r.versionBefore + " is newer than the package's " +
             (r.instrument ? r.instrument->packageVersion : std::string("version"));
    if (reason == "declined") return "refused: a question was answered No";
    return "refused";
  }
  if (outcome == "package-problem") {
    if (reason == "configuration-missing")
      return "package problem: Update.ini or ProgDevice.ini cannot be read in " +
             (r.package.empty() ? std::string("the working folder") : r.package);
    return "package problem: a program file of the package is missing, empty or damaged";
  }
  if (outcome == "port-problem") {
    if (reason == "port-gone") return "port problem: the instrument's port " + where + " went away";
    return "port problem: " + Join(r.problems, "; ");
  }
  if (outcome == "no-instrument") {
    std::string text = "no instrument answered";
    if (!searchedPorts.empty()) text += " on " + Join(searchedPorts, ", ");
    if (reason == "timeout") text += " within the time limit of " + std::to_string(timeoutSeconds) + " s";
    return text;
  }
  if (reason == "timeout")
    return "gave up after " + std::to_string(timeoutSeconds) + " s" + (where.empty() ? "" : " on " + where);
  return "the update failed" + (where.empty() ? std::string() : " on " + where) + "; the log above shows the step";
}

std::optional<double> ProgressPercent(const std::string& text) {
  std::string t = text;
  while (!t.empty() && t.back() == ' ') t.pop_back();
  if (t.empty() || t.back() != '%') return std::nullopt;
  t.pop_back();
  while (!t.empty() && t.back() == ' ') t.pop_back();
  std::size_t space = t.find_last_of(' ');
  std::string number = space == std::string::npos ? t : t.substr(space + 1);
  if (number.empty()) return std::nullopt;
  char* stop = nullptr;
  double value = std::strtod(number.c_str(), &stop);
  if (!stop || *stop != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

// ---- for people ----

void HumanReport::Line(const std::string& text) {
  EndProgressLine();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void HumanReport::EndProgressLine() {
  if (!progressShown_) return;
  std::fputc('\n', out_);
  progressShown_ = false;
}

void HumanReport::Memo(const std::string& text) { Line(text); }

void HumanReport::Status(int panel, const std::string& text) {
  if (verbose_) Line("[status " + std::to_string(panel) + "] " + text);
}

void HumanReport::Progress(double percent, const std::string& text) {
  if (verbose_) {
    Line("[status 4] " + text);
    return;
  }
  std::string shown = text;
  shown.erase(0, shown.find_first_not_of(' '));
  if (terminal_) {
    std::fprintf(out_, "\r\033[Kprogress %s", shown.c_str());
    std::fflush(out_);
    progressShown_ = true;
  } else {
    // A new phase starts again from the bottom.
    if (percent < lastPercent_) nextStep_ = 0.0;
    if (percent >= nextStep_) {
      Line("progress " + shown);
      nextStep_ = std::floor(percent / 10.0) * 10.0 + 10.0;
    }
  }
  lastPercent_ = percent;
}

void HumanReport::Box(const BoxEvent& box) {
  Line("[" + box.icon + " box] " + box.caption + ": " + box.text);
  if (box.question) Line(std::string("[answer] ") + (box.answeredYes ? "Yes" : "No"));
}

void HumanReport::Title(const std::string& text) {
  if (verbose_) Line("[title] " + text);
}

void HumanReport::Instrument(const Identity& id) {
  if (verbose_) return;
  std::string text = "instrument: " + (id.name.empty() ? id.deviceNumber : id.name);
  if (!id.serial.empty()) text += ", serial " + id.serial;
  if (!id.version.empty()) text += ", version " + id.version;
  if (!id.packageVersion.empty()) text += " (package " + id.packageVersion + ")";
  Line(text);
}

void HumanReport::Note(const std::string& text) {
  Line((verbose_ ? "[console] " : "update-console: ") + text);
}

void HumanReport::Result(const RunResult& result) {
  const bool ok = result.verdict.code == ExitCode::Success;
  if (verbose_) {
    Line(std::string("[console] ") + (ok ? "session ended well" : "session did not end well"));
    Line("[console] exit " + std::to_string(ToInt(result.verdict.code)) + ": " + result.message);
    return;
  }
  Line("update-console: " + result.message + " (exit " + std::to_string(ToInt(result.verdict.code)) + ")");
}

// ---- JSON lines ----

double JsonReport::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void JsonReport::Emit(const std::string& line) {
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void JsonReport::Memo(const std::string& text) {
  Emit(JsonObject().Add("type", "memo").Add("t", Seconds(), 3).Add("text", text).Text());
}

void JsonReport::Status(int panel, const std::string& text) {
  Emit(JsonObject().Add("type", "status").Add("t", Seconds(), 3).Add("panel", panel).Add("text", text).Text());
}

void JsonReport::Progress(double percent, const std::string& text) {
  (void)text;
  Emit(JsonObject().Add("type", "progress").Add("t", Seconds(), 3).Add("percent", percent, 1).Text());
}

void JsonReport::Box(const BoxEvent& box) {
  JsonObject o;
  o.Add("type", "box").Add("t", Seconds(), 3).Add("icon", box.icon).Add("caption", box.caption).Add("text", box.text);
  if (box.question) o.Add("answer", box.answeredYes ? "yes" : "no");
  else o.AddNull("answer");
  Emit(o.Text());
}

namespace {
JsonObject& AddIdentity(JsonObject& o, const Identity& id) {
  return o.AddOrNull("name", id.name)
      .AddOrNull("device_number", id.deviceNumber)
      .AddOrNull("serial", id.serial)
      .AddOrNull("pcb", id.pcb)
      .AddOrNull("version", id.version)
      .AddOrNull("package_version", id.packageVersion);
}
}  // namespace

void JsonReport::Instrument(const Identity& id) {
  JsonObject o;
  o.Add("type", "instrument").Add("t", Seconds(), 3);
  Emit(AddIdentity(o, id).Text());
}

void JsonReport::Note(const std::string& text) {
  Emit(JsonObject().Add("type", "note").Add("t", Seconds(), 3).Add("text", text).Text());
}

std::string ResultJson(const RunResult& r) {
  JsonObject o;
  o.Add("type", "result")
      .Add("outcome", r.verdict.outcome)
      .AddOrNull("reason", r.verdict.reason)
      .Add("exit", ToInt(r.verdict.code))
      .Add("message", r.message);
  if (r.instrument) {
    JsonObject id;
    o.Add("instrument", AddIdentity(id, *r.instrument));
  }
  else o.AddNull("instrument");
  o.AddOrNull("version_before", r.versionBefore)
      .AddOrNull("version_after", r.versionAfter)
      .AddOrNull("port", r.port)
      .AddOrNull("device", r.device)
      .AddOrNull("package", r.package)
      .Add("duration", r.seconds, 3)
      .Add("problems", r.problems);
  return o.Text();
}

void JsonReport::Result(const RunResult& result) { Emit(ResultJson(result)); }

// ---- the log file ----

LogReport::~LogReport() {
  if (file_) std::fclose(file_);
}

void LogReport::Write(const std::string& kind, const std::string& raw) {
  const std::string stamp = platform::LocalTimeStamp();
  // A command's own line end is no further line.
  std::string text = raw;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::size_t start = 0;
  do {
    std::size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    std::fprintf(file_, "%s %-10s %s\n", stamp.c_str(), kind.c_str(), line.c_str());
    start = nl == std::string::npos ? std::string::npos : nl + 1;
  } while (start != std::string::npos);
  std::fflush(file_);
}

void LogReport::Memo(const std::string& text) { Write("memo", text); }
void LogReport::Status(int panel, const std::string& text) { Write("status" + std::to_string(panel), text); }
void LogReport::Progress(double percent, const std::string& text) {
  (void)percent;
  Write("progress", text);
}
void LogReport::Box(const BoxEvent& box) {
  Write(box.icon + "-box", box.caption + ": " + box.text);
  if (box.question) Write("answer", box.answeredYes ? "Yes" : "No");
}
void LogReport::Trace(const std::string& text) {
  if (!traceInMemo_) Write("trace", text);
}
void LogReport::Instrument(const Identity& id) {
  Write("instrument", (id.name.empty() ? id.deviceNumber : id.name) + ", serial " + id.serial + ", pcb " + id.pcb +
                          ", version " + id.version + ", package " + id.packageVersion);
}
void LogReport::Note(const std::string& text) { Write("console", text); }
void LogReport::Result(const RunResult& result) {
  Write("result", result.message + " (exit " + std::to_string(ToInt(result.verdict.code)) + ")");
  Write("result", ResultJson(result));
}

}  // namespace app
