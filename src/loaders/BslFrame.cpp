#include "loaders/BslFrame.h"

#include <cstdio>
#include <cstring>

#include "loaders/Image.h"

namespace loaders::bsl {

std::uint16_t DefaultVectorWord(int which) {
  switch (which) {
    case 1: return kDefaultVector1;
    case 3: return kDefaultVector3;
    default: return kDefaultVector2;
  }
}

std::string DefaultVectorText(int which) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(DefaultVectorWord(which)));
  return text;
}

std::uint16_t Checksum(const std::uint8_t* frame, std::size_t count) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i + 1 < count; i += 2)
    sum ^= static_cast<std::uint16_t>(frame[i] | (frame[i + 1] << 8));
  return static_cast<std::uint16_t>(~sum);
}

std::size_t BuildFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1,
                       std::uint8_t* out, std::size_t outSize) {
  if (l1 > kMaxL1 || outSize < l1 + 6 || (l1 > 0 && !bytes)) return 0;
  out[0] = kHeader;
  out[1] = command;
  out[2] = out[3] = static_cast<std::uint8_t>(l1);
  if (l1 > 0) std::memcpy(out + 4, bytes, l1);
  const std::uint16_t ck = Checksum(out, l1 + 4);
  out[4 + l1] = static_cast<std::uint8_t>(ck & 0xFF);
  out[5 + l1] = static_cast<std::uint8_t>(ck >> 8);
  return l1 + 6;
}

Frame MakeFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1) {
  Frame f;
  f.size = BuildFrame(command, bytes, l1, f.bytes.data(), f.bytes.size());
  return f;
}

std::array<std::uint8_t, kPasswordBytes> PasswordBytes(std::uint16_t vectorWord) {
  std::array<std::uint8_t, kPasswordBytes> p;
  p.fill(kPasswordFill);
  p[kPasswordBytes - 2] = static_cast<std::uint8_t>(vectorWord & 0xFF);
  p[kPasswordBytes - 1] = static_cast<std::uint8_t>(vectorWord >> 8);
  return p;
}

Frame PasswordFrame(std::uint16_t vectorWord) {
  const auto p = PasswordBytes(vectorWord);
  return MakeFrame(kCmdPassword, p.data(), p.size());
}

namespace {
Frame FourByteFrame(std::uint8_t command, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                    std::uint8_t b3) {
  const std::uint8_t b[4] = {b0, b1, b2, b3};
  return MakeFrame(command, b, 4);
}
std::uint8_t Lo(unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t Hi(unsigned v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
}  // namespace

Frame WriteBlockFrame(std::uint16_t address, const std::uint8_t* data, std::size_t n) {
  if (n > kBlockDataMax || (n > 0 && !data)) return {};
  std::uint8_t b[4 + kBlockDataMax];
  b[0] = Lo(address);
  b[1] = Hi(address);
  b[2] = Lo(static_cast<unsigned>(n));
  b[3] = Hi(static_cast<unsigned>(n));
  if (n > 0) std::memcpy(b + 4, data, n);
  return MakeFrame(kCmdWriteBlock, b, 4 + n);
}

Frame ReadBlockFrame(std::uint16_t address, std::size_t n) {
  if (n > kBlockDataMax) return {};
  return FourByteFrame(kCmdReadBlock, Lo(address), Hi(address), Lo(static_cast<unsigned>(n)), 0);
}

Frame EraseSegmentFrame(std::uint16_t address) {
  return FourByteFrame(kCmdEraseSegment, Lo(address), Hi(address), 0x02, 0xA5);
}

Frame LoadPcFrame(std::uint16_t address) {
  return FourByteFrame(kCmdLoadPc, Lo(address), Hi(address), 0x58, 0x58);
}

Frame VersionFrame() { return FourByteFrame(kCmdVersion, 0x58, 0x58, 0x58, 0x58); }

ClockBytes ClockFor38400(std::uint16_t chipId) {
  switch ((chipId >> 8) & 0x0F) {
    case 1: return {0xE0, 0x87};
    case 2: return {0x80, 0x8C};
    default: return {0x00, 0xC8};
  }
}

Frame ChangeBaudFrame(std::uint8_t clock1, std::uint8_t clock2) {
  return FourByteFrame(kCmdChangeBaud, clock1, clock2, 0x02, 0x58);
}

Frame MemoryOffsetFrame(std::uint8_t offset) {
  return FourByteFrame(kCmdMemoryOffset, 0x00, 0x00, offset, 0x58);
}

std::size_t ReplyFrameSize(const std::uint8_t* p, std::size_t available) {
  if (!p || available < 3) return 0;
  return static_cast<std::size_t>(p[2]) + 6;
}

bool VerifyReplyFrame(const std::uint8_t* p, std::size_t n) {
  if (!p || n < 6 || p[0] != kHeader) return false;
  const std::size_t l1 = p[2];
  if (n != l1 + 6) return false;
  const std::uint16_t ck = Checksum(p, l1 + 4);
  return p[4 + l1] == (ck & 0xFF) && p[5 + l1] == (ck >> 8);
}

}  // namespace loaders::bsl
