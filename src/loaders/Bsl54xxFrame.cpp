#include "loaders/Bsl54xxFrame.h"

#include <cstring>
#include <string_view>

#include "procedure/Procedure.h"

namespace loaders::bsl54xx {

namespace {

constexpr std::size_t kGroup = 6;  // "0x5C00"

std::uint8_t Byte(std::uint32_t v, int shift) { return static_cast<std::uint8_t>((v >> shift) & 0xFF); }

Frame AddressFrame(std::uint8_t command, std::uint32_t address) {
  const std::uint8_t core[4] = {command, Byte(address, 0), Byte(address, 8), Byte(address, 16)};
  return MakeFrame(core, sizeof core);
}

}  // namespace

Password DefaultPassword(std::uint16_t last) {
  Password p;
  p.fill(kFillWord);
  p[kPasswordWords - 1] = last;
  return p;
}

Password ErasedPassword() {
  Password p;
  p.fill(kErasedWord);
  return p;
}

Password PasswordFromVectorText(const std::string& text) {
  Password p;
  p.fill(kFillWord);
  std::size_t groups = (text.size() + kGroup - 1) / kGroup;
  if (groups > static_cast<std::size_t>(kPasswordWords)) groups = kPasswordWords;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t at = g * kGroup;
    const std::size_t n = text.size() - at < kGroup ? text.size() - at : kGroup;
    p[kPasswordWords - 1 - g] = procedure::ParseHexWord(std::string_view(text).substr(at, n));
  }
  return p;
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

Frame MakeFrame(const std::uint8_t* core, std::size_t n) {
  Frame f;
  if (n == 0 || n > kMaxCore || !core) return f;
  f.bytes[0] = kHeader;
  f.bytes[1] = static_cast<std::uint8_t>(n & 0xFF);
  f.bytes[2] = static_cast<std::uint8_t>(n >> 8);
  std::memcpy(f.bytes.data() + 3, core, n);
  const std::uint16_t crc = Crc16(core, n);
  f.bytes[3 + n] = static_cast<std::uint8_t>(crc & 0xFF);
  f.bytes[4 + n] = static_cast<std::uint8_t>(crc >> 8);
  f.size = n + 5;
  return f;
}

Frame PasswordFrame(const Password& words) {
  std::uint8_t core[1 + 2 * kPasswordWords];
  core[0] = kCmdPassword;
  for (int i = 0; i < kPasswordWords; ++i) {
    core[1 + 2 * i] = Byte(words[static_cast<std::size_t>(i)], 0);
    core[2 + 2 * i] = Byte(words[static_cast<std::size_t>(i)], 8);
  }
  return MakeFrame(core, sizeof core);
}

Frame VersionFrame() {
  const std::uint8_t core[1] = {kCmdVersion};
  return MakeFrame(core, 1);
}

Frame ReadMemoryFrame(std::uint32_t address, std::uint16_t count) {
  const std::uint8_t core[6] = {kCmdReadMemory, Byte(address, 0), Byte(address, 8), Byte(address, 16),
                                Byte(count, 0),  Byte(count, 8)};
  return MakeFrame(core, sizeof core);
}

Frame ChangeBaudFrame(std::uint8_t code) {
  const std::uint8_t core[2] = {kCmdChangeBaud, code};
  return MakeFrame(core, sizeof core);
}

Frame EraseSegmentFrame(std::uint32_t address) { return AddressFrame(kCmdEraseSegment, address); }

Frame WriteBlockFrame(std::uint32_t address, const std::uint8_t* data, std::size_t n) {
  if (n > kBlockDataMax || (n > 0 && !data)) return {};
  std::uint8_t core[kMaxCore] = {kCmdWriteBlock, Byte(address, 0), Byte(address, 8), Byte(address, 16)};
  if (n > 0) std::memcpy(core + 4, data, n);
  return MakeFrame(core, 4 + n);
}

Frame LoadPcFrame(std::uint32_t address) { return AddressFrame(kCmdLoadPc, address); }

Front ReadFront(const std::uint8_t* p, std::size_t n) {
  if (!p || n == 0) return {};
  const std::uint8_t b = p[0];
  if (b == kAck) return {Answer::Ack, 1};
  if (b == kHeader) {
    if (n < 3) return {};
    const std::size_t core = static_cast<std::size_t>(p[1] | (p[2] << 8));
    // No reply is empty or larger than the loader's buffer: this 0x80 starts no frame.
    if (core == 0 || core > kMaxReplyCore) return {Answer::Stray, 1};
    if (n < core + 5) return {};
    const std::uint16_t crc = Crc16(p + 3, core);
    const bool ok = p[3 + core] == (crc & 0xFF) && p[4 + core] == (crc >> 8);
    return {ok ? Answer::Reply : Answer::BadReply, core + 5};
  }
  if (b & kNakMask) return {Answer::Nak, 1};
  return {Answer::Stray, 1};
}

}  // namespace loaders::bsl54xx
