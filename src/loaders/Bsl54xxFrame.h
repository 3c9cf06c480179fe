#pragma once
// Frames of the MSP430 5xx/6xx UART bootstrap loader: 0x80, NL, NH, a core of NL + 256 NH
// bytes (command byte, 24-bit address lowest byte first, data), then a CRC-16/CCITT-FALSE of
// the core, low byte first. The loader answers each well-formed frame with one byte (0x00, or
// an error byte 0x51..0x56) and, for commands with a result, a reply frame of the same form
// whose core starts with 0x3A (data) or 0x3B (a message code). Also the password words and
// the defaults that must agree with the firmware of the instruments served.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "loaders/Image.h"

namespace loaders::bsl54xx {

inline constexpr std::uint8_t kHeader = 0x80;
inline constexpr std::uint8_t kAck = 0x00;
// Error bytes of the loader's serial interface.
inline constexpr std::uint8_t kHeaderIncorrect = 0x51;
inline constexpr std::uint8_t kChecksumIncorrect = 0x52;
inline constexpr std::uint8_t kPacketSizeZero = 0x53;
inline constexpr std::uint8_t kPacketSizeTooBig = 0x54;
inline constexpr std::uint8_t kUnknownError = 0x55;
inline constexpr std::uint8_t kUnknownBaudRate = 0x56;
// Any byte outside a frame with one of these bits is a refusal.
inline constexpr std::uint8_t kNakMask = 0x50;

inline constexpr std::uint8_t kDataReply = 0x3A;
inline constexpr std::uint8_t kMessageReply = 0x3B;

// Message codes of a 0x3B reply.
inline constexpr std::uint8_t kMsgOk = 0x00;
inline constexpr std::uint8_t kMsgWriteCheckFailed = 0x01;
inline constexpr std::uint8_t kMsgFlashFailBit = 0x02;
inline constexpr std::uint8_t kMsgVoltageChange = 0x03;
inline constexpr std::uint8_t kMsgLocked = 0x04;
inline constexpr std::uint8_t kMsgPasswordError = 0x05;

inline constexpr std::uint8_t kCmdWriteBlock = 0x10;
inline constexpr std::uint8_t kCmdPassword = 0x11;
inline constexpr std::uint8_t kCmdEraseSegment = 0x12;
inline constexpr std::uint8_t kCmdLoadPc = 0x17;
inline constexpr std::uint8_t kCmdReadMemory = 0x18;
inline constexpr std::uint8_t kCmdVersion = 0x19;
inline constexpr std::uint8_t kCmdChangeBaud = 0x52;

// Baud-rate codes of the change command.
inline constexpr std::uint8_t kBaud9600 = 0x02;
inline constexpr std::uint8_t kBaud38400 = 0x04;

// A core carries the command, three address bytes and at most one image block.
inline constexpr std::size_t kMaxCore = 4 + kBlockDataMax;
inline constexpr std::size_t kMaxFrame = kMaxCore + 5;
// The loader's buffer: no reply core is larger.
inline constexpr std::size_t kMaxReplyCore = 260;

// The password is the top of the interrupt vector table, 0xFFE0..0xFFFF, sixteen words. Our
// instruments' firmware leaves the fifteen vectors below the reset vector unprogrammed, so
// the fill word is 0xFFFF; the reset vector is the start of the firmware in main flash.
inline constexpr int kPasswordWords = 16;
inline constexpr std::uint16_t kFillWord = 0xFFFF;
// The reset vector of the instruments' firmware: it starts at the beginning of main flash of
// the MSP430F5438A. The default last password word of the direct path and the default vector
// text of the instrument path.
inline constexpr std::uint16_t kDefaultLastWord = 0x5C00;
inline constexpr const char* kDefaultVectorText = "0x5C00";
// A device whose flash was mass-erased: every password byte is 0xFF.
inline constexpr std::uint16_t kErasedWord = 0xFFFF;

using Password = std::array<std::uint16_t, kPasswordWords>;
// Sixteen fill words with last as word 15.
Password DefaultPassword(std::uint16_t last);
Password ErasedPassword();
// The instrument's vector text read as groups of six characters ("0x5C00"), each a
// hexadecimal number: the first group becomes word 15, the second word 14, and so on (at most
// sixteen groups); the other words are fill words.
Password PasswordFromVectorText(const std::string& text);

// CRC-16/CCITT-FALSE: polynomial 0x1021, start 0xFFFF, no reflection, no final XOR.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n);

struct Frame {
  std::array<std::uint8_t, kMaxFrame> bytes{};
  std::size_t size = 0;  // 0: the frame could not be built
  const std::uint8_t* data() const { return bytes.data(); }
};

// 0x80, NL, NH, the core, the CRC. Size 0 when the core is empty or longer than kMaxCore.
Frame MakeFrame(const std::uint8_t* core, std::size_t n);

Frame PasswordFrame(const Password& words);
Frame VersionFrame();
Frame ReadMemoryFrame(std::uint32_t address, std::uint16_t count);
Frame ChangeBaudFrame(std::uint8_t code);
Frame EraseSegmentFrame(std::uint32_t address);
// Size 0 when n is above kBlockDataMax.
Frame WriteBlockFrame(std::uint32_t address, const std::uint8_t* data, std::size_t n);
Frame LoadPcFrame(std::uint32_t address);

// What the front of the bytes received from the loader holds.
enum class Answer {
  Incomplete,  // a reply frame whose end has not arrived yet (or nothing at all)
  Ack,         // 0x00
  Nak,         // an error byte (0x50 bits)
  Reply,       // a reply frame whose CRC matches
  BadReply,    // a complete reply frame whose CRC does not match
  Stray,       // a byte that is none of these (also a header with an impossible size)
};
struct Front {
  Answer answer = Answer::Incomplete;
  std::size_t size = 0;  // bytes it takes from the front
};
Front ReadFront(const std::uint8_t* p, std::size_t n);

// The core of a reply frame and its length.
inline const std::uint8_t* ReplyCore(const std::uint8_t* frame) { return frame + 3; }
inline std::size_t ReplyCoreSize(const std::uint8_t* frame) {
  return static_cast<std::size_t>(frame[1] | (frame[2] << 8));
}

}  // namespace loaders::bsl54xx
