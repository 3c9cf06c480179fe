#include "SessionRig.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "support/RunProgram.h"

namespace sessiontest {

namespace {
void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

std::string Hex(unsigned char b) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", b);
  return buf;
}
}  // namespace

std::string TiTxtWithVersion(const std::string& version, unsigned codeBytes, unsigned address) {
  std::vector<unsigned char> data;
  for (char c : std::string("VERS:") + version) data.push_back(static_cast<unsigned char>(c));
  data.push_back(0);
  while (data.size() % 16) data.push_back(0);
  for (unsigned i = 0; i < codeBytes; ++i) data.push_back(static_cast<unsigned char>((i * 37 + 11) & 0xFF));
  if (data.size() % 2) data.push_back(0xFF);
  char head[16];
  std::snprintf(head, sizeof head, "@%04X\r\n", address);
  std::string out = head;
  for (std::size_t i = 0; i < data.size(); ++i) {
    out += Hex(data[i]);
    out += (i % 16 == 15 || i + 1 == data.size()) ? "\r\n" : " ";
  }
  // The vector table: the classic loader's password.
  out += "@FFE0\r\n";
  for (int i = 0; i < 32; ++i) {
    unsigned char b = i >= 30 ? (i == 30 ? 0x00 : 0x31) : 0xFF;
    out += Hex(b);
    out += (i % 16 == 15) ? "\r\n" : " ";
  }
  out += "q\r\n";
  return out;
}

void NothingConnected::OnHostBytes(const std::uint8_t* data, std::size_t n,
                                   const platform::LineSettings& line) {
  bytesSeen += static_cast<int>(n);
  writes.push_back({platform::App().GetClock().Milliseconds(),
                    std::string(reinterpret_cast<const char*>(data), n), line.baud});
}

SessionRig::SessionRig() { platform::SetSerialPortMap(std::string()); }

SessionRig::~SessionRig() {
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
    dev += "ProgDefFile=\r\n";
    dev += "ProzTyp=" + r.prozTyp + "\r\n\r\n";
  }
  dev += "StarttextD=" + p.startText + "\r\nStarttextE=" + p.startTextE + "\r\n";
  dev += "AbbruchtextD=" + p.abortD + "\r\nAbbruchtextE=" + p.abortE + "\r\n";
  WriteFile(folder + "/ProgDevice.ini", dev);
  for (const auto& [name, content] : p.files) WriteFile(folder + "/" + name, content);
  platform::files::SetCurrentFolder(folder);
}

void SessionRig::Ports(int count, int instrumentCom, sim::Instrument* instrument) {
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
        return form->Closed() || app.Terminated() || form->SessionOver() || form->OkBitBtn->Enabled();
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

std::map<std::uint32_t, std::uint8_t> ParseTiTxt(const std::string& text) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::uint32_t address = 0;
  std::size_t i = 0;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < text.size()) {
    char c = text[i];
    if (c == 'q') break;
    if (c == '@') {
      address = 0;
      ++i;
      while (i < text.size() && hex(text[i]) >= 0) address = address * 16 + static_cast<std::uint32_t>(hex(text[i++]));
      continue;
    }
    if (hex(c) >= 0 && i + 1 < text.size() && hex(text[i + 1]) >= 0) {
      bytes[address++] = static_cast<std::uint8_t>(hex(c) * 16 + hex(text[i + 1]));
      i += 2;
      continue;
    }
    ++i;
  }
  return bytes;
}

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
