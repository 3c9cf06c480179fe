// The ports a search can use: at start-up and before every search the ports that cannot be
// used are named with their reason, ports that have come back or become free are opened, and
// a search without any usable port is not run at all.
#include "update/PortCheck.h"

#include <cerrno>
#include <cstring>

#include "comport/Comport.h"
#include "platform/Application.h"
#include "procedure/Infotext.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;

std::string PortProblemText(std::int32_t language, int com, const platform::SerialOpenResult& r) {
  const std::string c = std::to_string(com);
  auto text = [language](Msg msg) { return Text(msg, language); };
  if (r.path.empty()) return FillXs(text(MsgPortUnmapped), {c});
  switch (r.error) {
    case platform::SerialOpenError::NotFound:
      return FillXs(text(r.sysError == ENOTTY ? MsgPortNotSerial : MsgPortMissing), {c, r.path});
    case platform::SerialOpenError::Permission:
      if (r.sessionHasGroup || r.group.empty())
        return FillXs(text(MsgPortPermission), {c, r.path, r.user, r.group});
      if (r.userInGroup) return FillXs(text(MsgPortPermissionRelogin), {c, r.path, r.user, r.user, r.group});
      return FillXs(text(MsgPortPermissionJoin), {c, r.path, r.user, r.group, r.group, r.user});
    case platform::SerialOpenError::Busy: {
      if (r.holders.empty()) return FillXs(text(MsgPortHeld), {c, r.path});
      std::string programs;
      for (const auto& [pid, name] : r.holders)
        programs += (programs.empty() ? "" : ", ") + name + " (PID " + std::to_string(pid) + ")";
      return FillXs(text(MsgPortHeldBy), {c, r.path, programs});
    }
    case platform::SerialOpenError::Other:
    case platform::SerialOpenError::None:
      break;
  }
  return FillXs(text(MsgPortOpenFailed), {c, r.path, r.sysError ? std::strerror(r.sysError) : "?"});
}

int TUpdateForm::CheckPorts(bool beforeSearch) {
  std::vector<std::string> problems;
  auto diagnose = [&](int com) {
    platform::SerialOpenResult r = platform::OpenSerialDevice(com);
    if (r.device) return true;  // free again by now; the next check takes it
    problems.push_back(PortProblemText(language_, com, r));
    return false;
  };

  // The ports of the table: each open, or opened again (an adapter plugged in again, a port
  // another program has let go of).
  int usable = 0;
  for (int i = 0; i < PortCount && i < kMaxPorts; ++i) {
    comport::TComPort* port = PortTable[static_cast<std::size_t>(i)];
    if (!port) continue;
    const int com = ComNumbers[static_cast<std::size_t>(i)];
    if (port->IsOpen() && !port->Gone()) {
      ++usable;
      continue;
    }
    const bool hadLine = port->IsOpen();
    platform::LineSettings settings = port->LoadV24Parameter();
    platform::LineTimeouts timeouts = port->LoadV24TimeOut();
    port->Close();
    port->Open(this, 0, com - 1, false);
    if (!port->IsOpen()) {
      diagnose(com);
      continue;
    }
    if (hadLine) {
      port->SaveV24Parameter(&settings);
      port->SaveV24TimeOut(&timeouts);
    } else if (port != UpdateCom && UpdateCom->IsOpen()) {
      settings = UpdateCom->LoadV24Parameter();
      timeouts = UpdateCom->LoadV24TimeOut();
      port->SaveV24Parameter(&settings);
      port->SaveV24TimeOut(&timeouts);
    }
    ++usable;
  }

  // The search takes every port the system has (a fixed port in Update.ini: that one only).
  bool anyPort = PortCount > 0;
  if (!ini_.singlePortMode) {
    const int before = PortCount;
    for (const auto& [com, path] : platform::SerialPortList()) {
      anyPort = true;
      bool inTable = false;
      for (int i = 0; i < PortCount; ++i) inTable = inTable || ComNumbers[static_cast<std::size_t>(i)] == com;
      if (inTable || !diagnose(com) || PortCount >= kMaxPorts) continue;
      AddSearchPort(com, false);
      comport::TComPort* added = PortTable[static_cast<std::size_t>(PortCount - 1)];
      if (added && added->IsOpen()) ++usable;
    }
    if (PortCount != before) ShowSearchedPorts();
  }

  for (const std::string& line : problems) UpdateMemo->Add(line);
  if (usable > 0) return usable;
  if (!anyPort) problems.push_back(CatalogueText(MsgNoSerialPort));
  if (!anyPort) UpdateMemo->Add(problems.back());
  const std::string conclusion = CatalogueText(MsgNoUsablePort);
  UpdateMemo->Add(conclusion);
  if (beforeSearch) {
    std::string text;
    for (const std::string& line : problems) text += line + "\r\n";
    ShowBox(text + conclusion, platform::BoxIcon::Error, platform::BoxButtons::Ok);
  }
  return 0;
}

}  // namespace update
