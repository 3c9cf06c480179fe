#pragma once
// Frames of the classic MSP430 bootstrap loader: 0x80, command, L1, L2 (= L1), L1 bytes of
// address, length and data, then a 16-bit checksum low byte first. Also the password and the
// default loader vector words, which must agree with the firmware of the instruments served.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace loaders::bsl {

inline constexpr std::uint8_t kHeader = 0x80;  // frame header, and the synchronisation byte
inline constexpr std::uint8_t kSync = 0x80;
inline constexpr std::uint8_t kAck = 0x90;
inline constexpr std::uint8_t kNak = 0xA0;
inline constexpr std::uint8_t kNakAlt = 0x70;

inline constexpr std::uint8_t kCmdPassword = 0x10;
inline constexpr std::uint8_t kCmdWriteBlock = 0x12;
inline constexpr std::uint8_t kCmdReadBlock = 0x14;
inline constexpr std::uint8_t kCmdEraseSegment = 0x16;
inline constexpr std::uint8_t kCmdLoadPc = 0x1A;
inline constexpr std::uint8_t kCmdVersion = 0x1E;
inline constexpr std::uint8_t kCmdChangeBaud = 0x20;
inline constexpr std::uint8_t kCmdMemoryOffset = 0x21;

// L1 reaches 4 address/length bytes plus the 246 data bytes of an image block at most.
inline constexpr std::size_t kMaxL1 = 250;
inline constexpr std::size_t kMaxFrame = kMaxL1 + 6;

// The password is the interrupt vector table 0xFFE0..0xFFFF of the firmware in the
// instrument. Our instruments' firmware leaves the fifteen vectors below the reset vector
// unprogrammed (0xFFFF), so the fill byte is 0xFF; the reset vector is the loader vector word.
inline constexpr std::uint8_t kPasswordFill = 0xFF;
inline constexpr std::size_t kPasswordBytes = 36;  // 4 fill bytes (address, length) + 32

// Default loader vector words, as the instruments' firmware has them at 0xFFFE:
// default 1 for instruments with memory above 64 KB (and processor type 62007),
// default 2 for all others, default 3 for processor type 61749 without a sensor.
inline constexpr std::uint16_t kDefaultVector1 = 0x0E00;
inline constexpr std::uint16_t kDefaultVector2 = 0x0C00;
inline constexpr std::uint16_t kDefaultVector3 = 0x0D00;
// Default n (1..3) as the instrument writes it: "0x" and three hexadecimal digits ("0xC00").
std::string DefaultVectorText(int which);
std::uint16_t DefaultVectorWord(int which);

struct Frame {
  std::array<std::uint8_t, kMaxFrame> bytes{};
  std::size_t size = 0;  // 0: the frame could not be built
  const std::uint8_t* data() const { return bytes.data(); }
};

// XOR of the 16-bit little-endian words over the first count bytes (header to the end of the
// data, count / 2 words), inverted.
std::uint16_t Checksum(const std::uint8_t* frame, std::size_t count);

// Builds header, command, L1, L2, the L1 bytes and the checksum into out (room for L1 + 6
// bytes). Returns the frame size, 0 when L1 exceeds kMaxL1 or out is too small.
std::size_t BuildFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1,
                       std::uint8_t* out, std::size_t outSize);
Frame MakeFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1);

// The 36 bytes of the password command: 34 fill bytes, then the vector word low byte first.
std::array<std::uint8_t, kPasswordBytes> PasswordBytes(std::uint16_t vectorWord);

Frame PasswordFrame(std::uint16_t vectorWord);
// Write: address, n, n data bytes (size 0 when n is above 246).
Frame WriteBlockFrame(std::uint16_t address, const std::uint8_t* data, std::size_t n);
// Read back: address, number of bytes (low byte, then 0).
Frame ReadBlockFrame(std::uint16_t address, std::size_t n);
Frame EraseSegmentFrame(std::uint16_t address);
Frame LoadPcFrame(std::uint16_t address);
Frame VersionFrame();
Frame ChangeBaudFrame(std::uint8_t clock1, std::uint8_t clock2);

// The clock bytes of the baud-rate change to 38400, which the maker's loader description
// gives per processor family (its chip identifier's second hexadecimal digit: F16C is a
// 1xx part, F26F a 2xx, F449 a 4xx): the basic clock module's DCOCTL and BCSCTL1 on 1xx and
// 2xx parts, the FLL+ SCFI0 and SCFI1 on 4xx parts. Unknown families get the 4xx values.
struct ClockBytes {
  std::uint8_t d1, d2;
};
ClockBytes ClockFor38400(std::uint16_t chipId);
Frame MemoryOffsetFrame(std::uint8_t offset);

// Size of the reply frame whose header is at p (L1 + 6), 0 while fewer than 3 bytes are known.
std::size_t ReplyFrameSize(const std::uint8_t* p, std::size_t available);
// A complete reply frame: header 0x80, n == L1 + 6 and the checksum matches.
bool VerifyReplyFrame(const std::uint8_t* p, std::size_t n);
// The L1 bytes of a reply frame behind its four header bytes.
inline const std::uint8_t* ReplyData(const std::uint8_t* frame) { return frame + 4; }

}  // namespace loaders::bsl
