#include "app/LineView.h"

#include <algorithm>
#include <cstdio>

namespace app {

namespace {

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Characters, not bytes: names may hold UTF-8.
std::size_t Width(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Pad(const std::string& text, std::size_t width) {
  std::size_t w = Width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

// Cut to width characters at most.
std::string Cut(const std::string& text, std::size_t width) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (n == width) return text.substr(0, i);
      ++n;
    }
  }
  return text;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

void LineRun::TakeOutput(const std::string& bytes) {
  pending_ += bytes;
  std::size_t nl;
  while ((nl = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    TakeLine(line);
  }
  // A line without end that grows without bound is no JSON line of ours.
  if (pending_.size() > 1 << 20) pending_.clear();
}

void LineRun::TakeErrors(const std::string& bytes) {
  pendingErr_ += bytes;
  std::size_t nl;
  while ((nl = pendingErr_.find('\n')) != std::string::npos) {
    std::string line = pendingErr_.substr(0, nl);
    pendingErr_.erase(0, nl + 1);
    if (!line.empty() && outcome.empty()) message = line;
  }
  if (pendingErr_.size() > 4096) pendingErr_.erase(0, pendingErr_.size() - 4096);
}

void LineRun::TakeLine(const std::string& line) {
  auto value = ParseJson(line);
  if (!value || !value->IsObject()) return;
  const std::string type = value->Text("type");
  if (type == "status") {
    const int panel = static_cast<int>(value->Number("panel", -1));
    const std::string text = value->Text("text");
    if (panel == 1 && !text.empty()) phase = "found on " + text;
    else if (panel == 2 && percent < 0 && phase.rfind("found", 0) != 0 && name.empty()) phase = "searching " + text;
  } else if (type == "instrument") {
    name = value->Text("name", value->Text("device_number"));
    serial = value->Text("serial");
    versionBefore = value->Text("version");
    phase = "identified";
  } else if (type == "progress") {
    percent = value->Number("percent", 0.0);
    phase = "programming";
  } else if (type == "box") {
    if (value->Text("icon") == "error") phase = FirstLine(value->Text("text"));
  } else if (type == "result") {
    outcome = value->Text("outcome");
    message = value->Text("message");
    versionBefore = value->Text("version_before", versionBefore);
    versionAfter = value->Text("version_after");
    if (const JsonValue* id = value->Member("instrument"); id && id->IsObject()) {
      std::string n = id->Text("name", id->Text("device_number"));
      if (!n.empty()) name = n;
      serial = id->Text("serial", serial);
    }
    resultJson = line;
    percent = -1.0;
  }
}

void LineRun::End(int code, int sig, double cpu, double wall) {
  ended = true;
  seconds = wall;
  exitCode = code;
  signal = sig;
  cpuSeconds = cpu;
  if (outcome.empty()) outcome = sig ? "killed" : "no-result";
  if (sig) message = "ended by signal " + std::to_string(sig);
}

std::string LineRun::State() const {
  if (!outcome.empty()) {
    std::string text = outcome;
    if (outcome == "updated") text += " " + versionBefore + " -> " + versionAfter;
    if (ended) text += " (exit " + (signal ? "signal " + std::to_string(signal) : std::to_string(exitCode)) + ")";
    return text;
  }
  if (phase == "programming" && percent >= 0) return "programming " + Fixed(percent, 1) + " %";
  return phase;
}

std::string DeviceLabel(const std::string& device, const std::vector<std::string>& taken) {
  std::string label = device;
  while (label.size() > 1 && label.back() == '/') label.pop_back();
  if (std::size_t slash = label.rfind('/'); slash != std::string::npos) label.erase(0, slash + 1);
  if (label.empty() || label == "." || label == "..") label = "port";
  std::string unique = label;
  for (int n = 2; std::find(taken.begin(), taken.end(), unique) != taken.end(); ++n)
    unique = label + "-" + std::to_string(n);
  return unique;
}

std::string RunLine(const LineRun& run, std::size_t labelWidth, std::size_t width) {
  std::string line = Pad(run.label, labelWidth) + "  " + Pad(run.name.empty() ? "-" : run.name, 18) + "  " +
                     Pad(run.serial.empty() ? "-" : run.serial, 12) + "  " + run.State();
  return Cut(line, width);
}

std::string SummaryTable(const std::vector<LineRun>& runs) {
  std::vector<std::vector<std::string>> rows = {
      {"port", "instrument", "serial", "before", "after", "outcome", "exit", "time", "cpu"}};
  for (const LineRun& r : runs) {
    rows.push_back({r.device, r.name.empty() ? "-" : r.name, r.serial.empty() ? "-" : r.serial,
                    r.versionBefore.empty() ? "-" : r.versionBefore, r.versionAfter.empty() ? "-" : r.versionAfter,
                    r.outcome.empty() ? "-" : r.outcome,
                    r.signal ? "sig " + std::to_string(r.signal) : std::to_string(r.exitCode),
                    Fixed(r.seconds, 1) + " s", Fixed(r.cpuSeconds, 2) + " s"});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Width(row[c]));
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c) line += "  ";
      line += c + 1 == row.size() ? row[c] : Pad(row[c], widths[c]);
    }
    table += line + "\n";
  }
  return table;
}

}  // namespace app
