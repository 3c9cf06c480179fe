#pragma once
// The production-line launcher's view of its runs: each run's JSON lines from update-console
// turned into one line of state per instrument, and the summary table at the end.
#include <optional>
#include <string>
#include <vector>

#include "app/Json.h"

namespace app {

struct LineRun {
  std::string device;  // as given
  std::string label;   // short name: "ttyUSB0" for /dev/ttyUSB0
  std::string phase = "starting";
  double percent = -1.0;
  std::string name, serial, versionBefore, versionAfter;
  std::string outcome;      // from the result; empty until then
  std::string message;      // the result's sentence, or the last line on standard error
  std::string resultJson;   // the result line as the run wrote it
  double seconds = 0.0;     // from its start to its end, as the launcher saw it
  double cpuSeconds = 0.0;  // processor time the run used
  int exitCode = -1;        // -1 while running, or when it ended by a signal
  int signal = 0;
  bool ended = false;

  // Takes bytes of the run's standard output (JSON lines, possibly cut anywhere).
  void TakeOutput(const std::string& bytes);
  // Takes bytes of its standard error (the last line is kept).
  void TakeErrors(const std::string& bytes);
  void TakeLine(const std::string& line);
  // The run has ended with this status.
  void End(int exitCode, int signal, double cpuSeconds, double wallSeconds);
  // "programming  45.3 %", "updated 1.01 -> 1.02", ...
  std::string State() const;

 private:
  std::string pending_, pendingErr_;
};

// The device's file name ("ttyUSB0" for "/dev/ttyUSB0"), made unique among the labels taken
// before it with "-2", "-3", ...
std::string DeviceLabel(const std::string& device, const std::vector<std::string>& taken);

// One line per run: label, instrument, serial, state; padded to width characters at most.
std::string RunLine(const LineRun& run, std::size_t labelWidth, std::size_t width);

// The table of all runs: port, instrument, serial, before, after, outcome, exit, time, cpu.
std::string SummaryTable(const std::vector<LineRun>& runs);

}  // namespace app
