#include "SessionRig.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "support/RunProgram.h"
#include "support/TestImages.h"

namespace sessiontest {

namespace {
void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

}  // namespace

void NothingConnected::OnHostBytes(const std::uint8_t* data, std::size_t n,
                                   const platform::LineSettings& line) {
  bytesSeen += static_cast<int>(n);
  writes.push_back({platform::App().GetClock().Milliseconds(),
                    std::string(reinterpret_cast<const char*>(data), n), line.baud});
}

SessionRig::SessionRig() { platform::SetSerialPortMap(std::string()); }

void WireRecorder::OnHostBytes(const std::uint8_t* data, std::size_t n, const platform::LineSettings& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writes_.push_back({platform::App().GetClock().Milliseconds(),
                       std::string(reinterpret_cast<const char*>(data), n), line});
  }
  peer_->OnHostBytes(data, n, line);
}

std::vector<WireRecorder::Write> WireRecorder::Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

SessionRig::~SessionRig() {
  ticker.reset();
  form.reset();
  for (int com : registered) platform::UnregisterLoopbackPort(com);
  platform::SetSerialPortMap(std::nullopt);
}

void SessionRig::WritePackage(const Package& p) {
  folder = testsupport::MakeTempDir("session");
  WriteFile(folder + "/Update.ini", p.updateIni);
  std::string dev;
  for (const PackageRow& r : p.rows) {
    dev += "[Device]\r\n";
    dev += "DevStartCmd=" + r.devStartCmd + "\r\n";
    dev += "DeviceNrDef=" + r.deviceNrDef + "\r\n";
    dev += "DeviceNr=" + r.deviceNr + "\r\n";
    dev += "DeviceName=" + r.deviceName + "\r\n";
    dev += "ProgFile1=" + r.progFile1 + "\r\n";
    dev += "ProgFile2=" + r.progFile2 + "\r\n";
    dev += "ProgFile3=" + r.progFile3 + "\r\n";
    dev += "SWKenn1=" + r.swKenn1 + "\r\n";
    dev += "SWKenn2=" + r.swKenn2 + "\r\n";
    dev += "SWKenn3=" + r.swKenn3 + "\r\n";
    dev += "BootLoadKenn=" + r.bootLoadKenn + "\r\n";
    dev += "FlashErase1=\r\nFlashErase2=" + r.flashErase2 + "\r\nFlashErase3=\r\n";
    dev += "ProgDefFile=" + r.progDefFile + "\r\n";
    dev += "ProzTyp=" + r.prozTyp + "\r\n\r\n";
  }
  dev += "StarttextD=" + p.startText + "\r\nStarttextE=" + p.startTextE + "\r\n";
  dev += "AbbruchtextD=" + p.abortD + "\r\nAbbruchtextE=" + p.abortE + "\r\n";
  WriteFile(folder + "/ProgDevice.ini", dev);
  for (const auto& [name, content] : p.files) WriteFile(folder + "/" + name, content);
  platform::files::SetCurrentFolder(folder);
}

void SessionRig::Ports(int count, int instrumentCom, platform::LoopbackPeer* instrument) {
  for (int com = 1; com <= count; ++com) {
    if (com == instrumentCom && instrument) {
      platform::RegisterLoopbackPort(com, instrument);
    } else {
      empties.push_back(std::make_unique<NothingConnected>());
      platform::RegisterLoopbackPort(com, empties.back().get());
    }
    registered.push_back(com);
  }
}

void SessionRig::TickInstrument(sim::Instrument* instrument, std::uint32_t periodMs) {
  ticker = std::make_unique<platform::Timer>(nullptr, "InstrumentTick");
  ticker->SetInterval(periodMs);
  ticker->OnTimer = [instrument](platform::Timer&) { instrument->Tick(); };
  ticker->SetEnabled(true);
}

update::TUpdateForm& SessionRig::Start() {
  update::TUpdateForm::Options o;
  o.programFolder = folder;
  form = std::make_unique<update::TUpdateForm>(o);
  return *form;
}

bool SessionRig::RunUntil(const std::function<bool()>& pred, std::uint32_t limitMs) {
  return app.RunUntil(pred, limitMs);
}

bool SessionRig::RunSession(std::uint32_t limitMs) {
  if (!form) Start();
  if (form->Closed()) return true;
  form->OkBitBtn->Click();
  return RunUntil(
      [this] {
        return form->Closed() || app.Terminated() || form->SessionOver() || form->OkBitBtn->Enabled() ||
               form->NewStartNeeded();
      },
      limitMs);
}

std::vector<std::string> SessionRig::MemoLines() const { return form->UpdateMemo->Lines(); }

bool SessionRig::MemoHas(const std::string& text) const {
  for (const std::string& l : form->UpdateMemo->Lines())
    if (l.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace sessiontest

namespace sessiontest {

bool FlashEqualsImage(const sim::Instrument& instrument, const std::string& tiTxt, std::string* why) {
  std::map<std::uint32_t, std::uint8_t> want;
  for (auto [a, b] : ParseTiTxt(tiTxt))
    if (b != 0xFF) want[a] = b;
  std::map<std::uint32_t, std::uint8_t> have = instrument.FlashBytes();
  if (want == have) return true;
  if (why) {
    char buf[128];
    for (auto [a, b] : want) {
      auto it = have.find(a);
      if (it == have.end() || it->second != b) {
        std::snprintf(buf, sizeof buf, "at 0x%05X image 0x%02X flash 0x%02X", a, b,
                      it == have.end() ? 0xFF : it->second);
        *why = buf;
        return false;
      }
    }
    for (auto [a, b] : have)
      if (!want.count(a)) {
        std::snprintf(buf, sizeof buf, "at 0x%05X flash 0x%02X outside the image", a, b);
        *why = buf;
        return false;
      }
  }
  return false;
}

}  // namespace sessiontest
