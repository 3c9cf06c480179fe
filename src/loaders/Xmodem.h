#pragma once
// The serial boot loader's image and the XMODEM-CRC sender that delivers it.
//
// Image: the file's bytes, extended with 0xFF to whole 128-byte packets, the last 6 bytes of
// which are the trailer: the number of bytes in front of it (32 bits) and their CRC-16/XMODEM
// (16 bits), both little endian. The loader checks the image against the trailer and reports
// the CRC it computed over everything in front of the last 6 bytes.
//
// Transfer (XMODEM with the CRC option, 128-byte packets): the receiver asks with 'C'; each
// packet is SOH, its number modulo 256 (first 1), 255 minus the number, 128 data bytes and the
// CRC of the data, high byte first. ACK takes it, NAK asks for it again; after the last packet
// EOT, acknowledged with ACK. CAN CAN from either side ends the transfer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "procedure/Procedure.h"

namespace loaders::xmodem {

inline constexpr std::uint8_t kSoh = 0x01;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kCrcRequest = 'C';

inline constexpr std::size_t kPacketData = 128;
inline constexpr std::size_t kPacketSize = kPacketData + 5;
inline constexpr std::size_t kTrailerSize = 6;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc = 0);

// The image as the loader receives it.
struct Image {
  std::vector<std::uint8_t> bytes;  // packets x 128
  std::uint32_t packets = 0;
  std::uint32_t length = 0;    // the length field: bytes in front of the trailer
  std::uint16_t checksum = 0;  // the trailer's CRC over those bytes
};

// Packets for a file of fileSize bytes: floor((fileSize + 6) / 128) + 1. A file whose size
// plus trailer fills whole packets gets one packet of padding more; the loader takes either.
std::uint32_t PacketsFor(std::size_t fileSize);
// The largest file whose image fits into capacity bytes.
constexpr std::size_t MaxFileSize(std::size_t capacity) {
  return capacity < kPacketData ? 0 : capacity / kPacketData * kPacketData - kTrailerSize - 1;
}
// The image of a file: padding, length field and checksum. The caller checks the size.
Image PrepareImage(const std::vector<std::uint8_t>& file);

using Packet = std::array<std::uint8_t, kPacketSize>;
// Packet number (1-based) of the image; numbers above the image's packets give an all-0xFF
// data field (never sent).
Packet BuildPacket(const Image& image, std::uint32_t number);
// What the sender writes to end or give up.
inline constexpr std::array<std::uint8_t, 1> kEndOfTransmission{kEot};
inline constexpr std::array<std::uint8_t, 2> kCancel{kCan, kCan};

// The sender's side of the transfer. It is fed what the receiver sends and says what to write
// next; it writes nothing itself. Only the first answer byte of a read counts (after a packet
// the receiver answers once; the rest is noise or late), except that CAN CAN anywhere, also
// split across two reads, cancels.
class Sender {
 public:
  // A refused or unanswered packet (or EOT) is sent again at most this often in a row.
  static constexpr std::size_t kRepeatLimit = 10;
  // A packet or EOT without an answer for this long counts as unanswered (OnSilence). It is
  // shorter than a receiver's own time-out (10 s), whose NAK would come too late for a
  // sender that gives up after as long, and longer than a receiver's wait for a quiet line
  // (1 s) before its NAK.
  static constexpr std::uint32_t kAnswerMs = 4000;

  enum class State {
    AwaitRequest,  // before the receiver's first 'C'
    AwaitAnswer,   // a packet is out
    AwaitEotAnswer,
    Finished,      // EOT was acknowledged
    Cancelled,     // the receiver sent CAN CAN
    GaveUp,        // a packet or EOT was refused or unanswered too often
  };
  enum class Send { Nothing, Packet, EndOfTransmission };
  struct Reaction {
    Send send = Send::Nothing;
    std::uint32_t packet = 0;  // Send::Packet: its number
    bool acknowledged = false; // a packet was just taken
    std::string trace;         // one line for the log, empty when nothing happened
  };

  explicit Sender(std::uint32_t packets) : packets_(packets) {}

  Reaction OnReceived(const std::uint8_t* data, std::size_t n);
  // The receiver did not answer the packet or EOT in time: it is sent again.
  Reaction OnSilence();

  State GetState() const { return state_; }
  bool Ended() const { return state_ >= State::Finished; }
  bool Waiting() const { return state_ == State::AwaitAnswer || state_ == State::AwaitEotAnswer; }
  std::uint32_t Current() const { return current_; }  // the packet last sent, 0 before
  std::uint32_t Packets() const { return packets_; }
  // EOT was sent (and not yet acknowledged, or refused too often).
  bool AtEndOfTransmission() const { return eotSent_ && state_ != State::Finished; }
  // "Packet 3 @0100" or "EOT": the last thing sent.
  std::string SentName() const;

 private:
  Reaction Repeat(const char* why);
  Reaction SendPacket(std::uint32_t number, std::string trace);

  std::uint32_t packets_;
  std::uint32_t current_ = 0;
  State state_ = State::AwaitRequest;
  bool canPending_ = false;
  bool eotSent_ = false;
  // Repeated sends, by packet number (EOT counts as packets + 1).
  procedure::RetryHistory<std::uint32_t, kRepeatLimit> history_;
};

}  // namespace loaders::xmodem

namespace loaders::emf {

// The loader's speed code behind a start command: the BaudTag ordinal of its rate.
inline constexpr const char* kSpeedCode9600 = "3\r\n";
inline constexpr const char* kSpeedCode115200 = "7\r\n";
// The loader's one-letter commands: 'u' upload, 'c' checksum, 'r' run the application.
inline constexpr char kUpload = 'u', kChecksum = 'c', kRun = 'r';
// From loader version 1.06 each letter is followed by this, in a write of its own (7 bytes:
// the code, CR, LF and a NUL).
inline constexpr std::array<char, 7> kUnlockCode{'7', '6', '2', '8', '\r', '\n', '\0'};
// Version 1.06 and above want the unlock code: the number at the start of the version reply
// (up to the first character that belongs to no number) in hundredths, read the loader's way
// in single precision. False for a text without a number.
bool NeedsUnlockCode(const std::string& version);
// The version reply up to its first comma.
std::string VersionLabel(const std::string& version);
// The checksum reply as a number: hexadecimal digits after leading blanks, nothing when the
// text has none or more than four.
std::optional<std::uint16_t> ParseChecksum(const std::string& text);

}  // namespace loaders::emf
