// The line parameter record, its configuration file and what it means for the line.
#include <cstring>

#include "comport/Comport.h"
#include "platform/ExclusiveFile.h"

namespace comport {
namespace {

void PutI32(std::uint8_t* p, std::int32_t v) {
  auto u = static_cast<std::uint32_t>(v);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}

std::int32_t GetI32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) |
                                   static_cast<std::uint32_t>(p[1]) << 8 |
                                   static_cast<std::uint32_t>(p[2]) << 16 |
                                   static_cast<std::uint32_t>(p[3]) << 24);
}

template <std::size_t N>
const char* NameOf(const char* const (&names)[N], std::int32_t v) {
  return v >= 0 && static_cast<std::size_t>(v) < N ? names[v] : "";
}

constexpr const char* kDatBits[] = {"D_7", "D_8"};
constexpr const char* kStopBits[] = {"S_1", "S1_5", "S_2"};
constexpr const char* kParity[] = {"NoParity", "Odd", "Even", "Mark", "Space"};
constexpr const char* kBaud[] = {"B__1200", "B__2400", "B__4800", "B__9600", "B_19200",
                                 "B_38400", "B_57600", "B115200", "B128000", "B256000"};
constexpr const char* kHandshake[] = {"NoHandshake", "RTS_CTS", "XonXoff", "ZAN_XonXoff"};
constexpr std::uint32_t kBaudRates[] = {1200,  2400,  4800,   9600,   19200,
                                        38400, 57600, 115200, 128000, 256000};

}  // namespace

std::string ComTagName(ComTag com) {
  if (com < Com__1 || com > Com256) return {};
  std::string digits = std::to_string(static_cast<int>(com) + 1);
  return "Com" + std::string(3 - digits.size(), '_') + digits;
}
const char* DatBitTagName(DatBitTag v) { return NameOf(kDatBits, v); }
const char* StopBitTagName(StopBitTag v) { return NameOf(kStopBits, v); }
const char* ParitaetTagName(ParitaetTag v) { return NameOf(kParity, v); }
const char* BaudTagName(BaudTag v) { return NameOf(kBaud, v); }
const char* HandshakeTagName(HandshakeTag v) { return NameOf(kHandshake, v); }

std::uint32_t BaudRateOf(BaudTag b) {
  return b >= B__1200 && b <= B256000 ? kBaudRates[b] : 0;
}

// ---- the record ----

void V24ParameterTag::ToBytes(std::uint8_t out[kSize]) const {
  PutI32(out + 0, DatenBits);
  PutI32(out + 4, Paritaet);
  PutI32(out + 8, StopBits);
  PutI32(out + 12, Baudrate);
  PutI32(out + 16, Handshake);
  PutI32(out + 20, RXTimeOut);
  PutI32(out + 24, TXTimeOut);
  PutI32(out + 28, Schnittstelle);
  out[32] = KeinNullZeichen ? 1 : 0;
  out[33] = KeinString ? 1 : 0;
  out[34] = Padding[0];
  out[35] = Padding[1];
  PutI32(out + 36, RXNotification);
  PutI32(out + 40, RXTimeOutproChar);
  PutI32(out + 44, TXTimeOutproChar);
}

void V24ParameterTag::OverlayBytes(const std::uint8_t* bytes, std::size_t n) {
  std::uint8_t b[kSize];
  ToBytes(b);
  std::memcpy(b, bytes, n < kSize ? n : kSize);
  DatenBits = static_cast<DatBitTag>(GetI32(b + 0));
  Paritaet = static_cast<ParitaetTag>(GetI32(b + 4));
  StopBits = static_cast<StopBitTag>(GetI32(b + 8));
  Baudrate = static_cast<BaudTag>(GetI32(b + 12));
  Handshake = static_cast<HandshakeTag>(GetI32(b + 16));
  RXTimeOut = GetI32(b + 20);
  TXTimeOut = GetI32(b + 24);
  Schnittstelle = static_cast<ComTag>(GetI32(b + 28));
  KeinNullZeichen = b[32] != 0;
  KeinString = b[33] != 0;
  Padding[0] = b[34];
  Padding[1] = b[35];
  RXNotification = GetI32(b + 36);
  RXTimeOutproChar = GetI32(b + 40);
  TXTimeOutproChar = GetI32(b + 44);
}

bool V24ParameterTag::operator==(const V24ParameterTag& o) const {
  std::uint8_t a[kSize], b[kSize];
  ToBytes(a);
  o.ToBytes(b);
  return std::memcmp(a, b, kSize) == 0;
}

// ---- the parameter set ----

TV24Parameter::TV24Parameter() {
  Record.DatenBits = D_8;
  Record.Baudrate = B__4800;
  Record.TXTimeOut = 1000;
}

V24ParameterTag& TV24Parameter::GetParameter(bool fromFile, const std::string& fileName) {
  WriteThrough = fromFile;
  ConfigFileName = fileName;
  if (fromFile && !fileName.empty()) ReadConfigFile(fileName);
  return Record;
}

void TV24Parameter::SetParameter(const V24ParameterTag& record) {
  Record = record;
  if (WriteThrough && !ConfigFileName.empty()) WriteConfigFile(ConfigFileName);
}

int TV24Parameter::ReadConfigFile(const std::string& fileName) {
  platform::ExclusiveFile f;
  if (!f.Open(fileName, false)) {
    // Missing (or held): write the current record, which creates a missing file.
    WriteConfigFile(fileName);
    return -10;
  }
  Record.RXNotification = 0;
  std::uint8_t b[V24ParameterTag::kSize];
  long n = f.ReadAt(0, b, sizeof b);
  if (n > 0) Record.OverlayBytes(b, static_cast<std::size_t>(n));
  return 0;
}

int TV24Parameter::WriteConfigFile(const std::string& fileName) {
  platform::ExclusiveFile f;
  if (!f.Open(fileName, true)) return -10;
  std::uint8_t b[V24ParameterTag::kSize];
  Record.ToBytes(b);
  // Not truncated: what a longer file holds behind the record stays.
  return f.WriteAt(0, b, sizeof b) ? 0 : -10;
}

// ---- the record as line settings ----

platform::LineSettings LineSettingsOf(const V24ParameterTag& r) {
  platform::LineSettings s;
  std::uint32_t baud = BaudRateOf(r.Baudrate);
  s.baud = baud ? baud : BaudRateOf(B__4800);
  s.dataBits = r.DatenBits == D_7 ? 7 : 8;
  switch (r.Paritaet) {
    case Odd: s.parity = platform::Parity::Odd; break;
    case Even: s.parity = platform::Parity::Even; break;
    case Mark: s.parity = platform::Parity::Mark; break;
    case Space: s.parity = platform::Parity::Space; break;
    default: s.parity = platform::Parity::None; break;
  }
  switch (r.StopBits) {
    case S1_5: s.stopBits = platform::StopBits::OneHalf; break;
    case S_2: s.stopBits = platform::StopBits::Two; break;
    default: s.stopBits = platform::StopBits::One; break;
  }
  s.discardNul = r.KeinNullZeichen;
  s.dtr = false;
  s.rts = true;
  s.ctsFlow = r.Handshake == RTS_CTS;
  s.outXonXoff = r.Handshake == XonXoff || r.Handshake == ZAN_XonXoff;
  return s;
}

namespace {
std::uint32_t NonNegative(std::int32_t v) { return v < 0 ? 0 : static_cast<std::uint32_t>(v); }
}  // namespace

platform::LineTimeouts LineTimeoutsOf(const V24ParameterTag& r) {
  platform::LineTimeouts t;
  t.readInterval = 20;
  t.readMultiplier = NonNegative(r.RXTimeOutproChar);
  t.readConstant = NonNegative(r.RXTimeOut);
  // Both read values 0 would mean a read that waits for its whole count.
  if (t.readMultiplier == 0 && t.readConstant == 0) t.readConstant = 1;
  t.writeMultiplier = NonNegative(r.TXTimeOutproChar);
  t.writeConstant = NonNegative(r.TXTimeOut);
  return t;
}

}  // namespace comport
