#include "procedure/Procedure.h"

#include <cstdio>

#include "comport/Comport.h"
#include "platform/Application.h"

namespace procedure {

std::uint16_t ParseHexWord(std::string_view text) {
  std::size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  unsigned v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else break;
    v = (v * 16 + d) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(v);
}

PumpEnd PumpUntilDone(const ProcedureContext& ctx, const bool& done) {
  while (!done) {
    ctx.host.PumpEvents();
    ctx.host.ProcessMessages();
    if (done) break;
    if (ctx.port && ctx.port->Gone()) return PumpEnd::PortGone;
    if (platform::HasApp()) {
      if (platform::App().Terminated() || !ctx.port || !ctx.port->IsOpen()) return PumpEnd::Closed;
      platform::App().WaitMessage(1000);
    }
  }
  return PumpEnd::Done;
}

void RestoreLine(const ProcedureContext& ctx, bool succeeded) {
  if (!ctx.port) return;
  if (ctx.host.StartMode() == StartModeTag::Sensor && succeeded)
    ctx.port->ChangeV24Parameter(comport::B__9600, comport::S_2, comport::NoParity, true);
  else
    ctx.port->LoadLastV24Parameter();
}

std::string HexWord(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

std::string RepeatTrace(const std::string& step, const char* why, std::size_t repeat, std::size_t limit) {
  std::string line = step + " " + why + ", ";
  if (repeat == 0) return line + "run failed";
  return line + "repeat " + std::to_string(repeat) + "/" + std::to_string(limit);
}

}  // namespace procedure
