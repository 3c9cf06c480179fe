#include "support/FakeHost.h"

#include "platform/Application.h"
#include "procedure/Notifications.h"

namespace testsupport {

FakeHost::FakeHost(int com) : platform::Form(nullptr, "FakeHost") {
  app.FormCreated(*this);
  bar = new platform::ProgressBar(this, this, "WaitProgressBar");
  for (int i = 0; i < 5; ++i) {
    auto* t = new platform::Timer(this, "Timer" + std::to_string(i + 1));
    t->Tag = i + 1;
    t->OnTimer = [this](platform::Timer& s) {
      if (!kernel::TimerPool::ShouldPost(s)) return;
      queue.PostTimer(s.Tag);
      PumpEvents();
    };
    poolTimers_.push_back(t);
  }
  timers.Init(poolTimers_);
  delay.SetEnable(true);
  port = new comport::TComPort(this, "Port");
  port->Open(this, 0, com - 1, false);
}

FakeHost::~FakeHost() {
  if (port) port->Close();
  for (platform::Timer* t : poolTimers_) t->SetEnabled(false);
}

procedure::ProcedureContext FakeHost::Context() {
  return {*this, language, bar, delay, record, port, queue};
}

std::string FakeHost::SetTitleProgress(const std::string&, float percent) {
  titles.push_back(percent);
  return {};
}

void FakeHost::PumpEvents() {
  kernel::PumpEvents(queue, pumpDepth_, [] { platform::App().ProcessMessages(); });
}

void FakeHost::ProcessMessages() { platform::App().ProcessMessages(); }

std::string FakeHost::ProgDefFileFor(std::int32_t processorType) const {
  for (const auto& [type, file] : progDefFiles)
    if (type == processorType) return file;
  return {};
}

void FakeHost::HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t) {
  if (message != comport::V24MsgRxData) return;
  queue.PostNotify(procedure::NotifyRxData, wparam);
  PumpEvents();
}

}  // namespace testsupport
