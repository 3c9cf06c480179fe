#pragma once
// What a programming procedure needs from the window that runs it. The main window implements
// it; tests implement it with a small fake (tests/support/FakeHost.h).
#include <cstdint>
#include <string>

#include "procedure/DeviceRecord.h"

namespace kernel {
class TimerPool;
}

namespace procedure {

class ProcedureHost {
 public:
  virtual ~ProcedureHost() = default;
  // Trace line in the log memo (debug mode only), placeholders expanded.
  virtual void LogLine(const std::string& text) = 0;
  // A line in the log memo, always shown.
  virtual void ReportText(const std::string& text) = 0;
  // Empties the log memo (a procedure that shows its own phases replaces what was there).
  virtual void ClearReport() {}
  // Title and status-panel progress; returns the formatted percentage text.
  virtual std::string SetTitleProgress(const std::string& prefix, float percent) = 0;
  // Drains the event queue with the window's pump depth (lets window messages through).
  virtual void PumpEvents() = 0;
  // One pass of window messages.
  virtual void ProcessMessages() = 0;
  virtual kernel::TimerPool& Timers() = 0;
  virtual StartModeTag StartMode() const = 0;
  // ProgDefFile of the first device row with this processor type; empty when none.
  virtual std::string ProgDefFileFor(std::int32_t processorType) const = 0;
  // The folder where package files (images, Patch.TXT) are looked up.
  virtual std::string PackageFolder() const = 0;
  // Appends text to the shown software version (the serial boot loader's "[BLV: x.yy]"); a
  // host without that label ignores it.
  virtual void AppendToSoftwareVersion(const std::string& text) { (void)text; }
};

}  // namespace procedure
