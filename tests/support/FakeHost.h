#pragma once
// A procedure's host without the main window: the headless application on a virtual clock, an
// event queue and timer pool, a progress bar, a delay, a device record and one port. Data
// messages of the port's receive thread become NotifyRxData as in the window; traces and
// report lines are collected.
#include <memory>
#include <string>
#include <vector>

#include "comport/Comport.h"
#include "kernel/Delay.h"
#include "kernel/Events.h"
#include "kernel/Timer.h"
#include "platform/Components.h"
#include "platform/Headless.h"
#include "procedure/Procedure.h"

namespace testsupport {

class FakeHost : public platform::Form, public procedure::ProcedureHost {
 public:
  // The host's port is COM com (a loopback peer must be registered for it).
  explicit FakeHost(int com = 1);
  ~FakeHost() override;

  procedure::ProcedureContext Context();

  // ProcedureHost
  void LogLine(const std::string& text) override { traces.push_back(text); }
  void ReportText(const std::string& text) override { reports.push_back(text); }
  void ClearReport() override {
    reports.clear();
    ++reportClears;
  }
  std::string SetTitleProgress(const std::string& prefix, float percent) override;
  void PumpEvents() override;
  void ProcessMessages() override;
  kernel::TimerPool& Timers() override { return timers; }
  procedure::StartModeTag StartMode() const override { return startMode; }
  std::string ProgDefFileFor(std::int32_t processorType) const override;
  std::string PackageFolder() const override { return folder; }
  void AppendToSoftwareVersion(const std::string& text) override { softwareVersion += text; }
  void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) override;

  platform::VirtualClock clock;
  platform::HeadlessApplication app{&clock};
  kernel::EventQueue queue;
  kernel::TimerPool timers;
  kernel::TDelay delay;
  platform::ProgressBar* bar = nullptr;
  comport::TComPort* port = nullptr;
  procedure::DeviceRecord record;
  std::int32_t language = 1;
  procedure::StartModeTag startMode = procedure::StartModeTag::Normal;
  std::string folder;
  std::string softwareVersion;  // the label AppendToSoftwareVersion extends
  // processor type -> file (ProgDefFileFor)
  std::vector<std::pair<std::int32_t, std::string>> progDefFiles;

  std::vector<std::string> traces;
  std::vector<std::string> reports;
  int reportClears = 0;
  std::vector<float> titles;

 private:
  std::int32_t pumpDepth_ = 0;
  std::vector<platform::Timer*> poolTimers_;
};

}  // namespace testsupport
