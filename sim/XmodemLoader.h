#pragma once
// The instrument's serial boot loader that takes the firmware image with XMODEM-CRC, as the
// protocol is published (Christensen's XMODEM with the CRC-16 option and the 1K packets of the
// X/YMODEM protocol reference): the receiver asks with 'C' every 3 s until the sender starts;
// packets SOH n 255-n 128 data bytes CRC (high byte first), or STX with 1024 data bytes; ACK a
// good one, ACK and drop a repeated one, NAK (after the line has been quiet for a second) a bad
// CRC, a bad complement or a wrong number; 10 s without a packet: NAK; 10 errors in a row: CAN
// CAN; EOT is acknowledged; CAN CAN from the sender ends the transfer.
//
// Around the transfer the loader has a small command dialogue of its own:
//   "A.2051" CR LF      -> "I.251#<version>" CR LF
//   "u"                 -> starts receiving ('C')
//   "c"                 -> "I.1205#<checksum, 4 hex digits>" CR LF
//   "r"                 -> starts the application (refused with "?" when the image is not valid)
// From loader 1.06 on each letter must be followed by the unlock code and CR or LF, else it is
// refused with "?". The image ends with a trailer: length of what precedes it (32 bits, little
// endian) and the CRC-16/XMODEM of those bytes (16 bits, little endian). The checksum reply is
// the CRC over everything received in front of the last 6 bytes; the image is valid when the
// transfer ended with EOT and the trailer agrees.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/Config.h"

namespace sim {

constexpr std::uint8_t XmSoh = 0x01;
constexpr std::uint8_t XmStx = 0x02;
constexpr std::uint8_t XmEot = 0x04;
constexpr std::uint8_t XmAck = 0x06;
constexpr std::uint8_t XmNak = 0x15;
constexpr std::uint8_t XmCan = 0x18;
constexpr std::uint8_t XmCrcRequest = 'C';

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t n, std::uint16_t crc = 0);
// A packet as a sender builds it: SOH for up to 128 data bytes, STX for more (up to 1024);
// short data is padded with pad.
std::vector<std::uint8_t> XmodemPacket(std::uint8_t number, const std::vector<std::uint8_t>& data,
                                       std::uint8_t pad = 0x1A);
// The rate of a start command's rate code (0 = 1200 ... 3 = 9600 ... 7 = 115200); 0 if none.
std::uint32_t XmodemRateOfCode(int code);
// A start command "A.1250", "A.1255" or "A.1256" with a rate code after its "#": command 1250,
// 1255 or 1256 and the code. False for other keys or a code without a rate.
bool ParseXmodemStart(const std::string& key, const std::string& arg, int& command, int& rateCode);

class XmodemLoader {
 public:
  enum class Phase {
    Off,         // not entered, or the application was started
    Restarting,  // after "A.1256": deaf
    StartWait,   // after the restart: takes the start commands at 9600
    Command,     // the loader's command dialogue
    Receive,     // XMODEM transfer
  };
  struct Status {
    Phase phase = Phase::Off;
    std::uint32_t baud = 0;
    int startCommand = 0;  // 1250, 1255 or 1256, the last one taken
    bool unlockNeeded = false;
    int uploads = 0;       // "u" commands carried out
    int requests = 0;      // 'C' sent in the current upload
    int packets = 0;       // complete packets that arrived since the loader was entered
    int accepted = 0;      // packets taken into the image
    int duplicates = 0;
    int naks = 0;          // NAKs sent
    int cancels = 0;       // CAN CAN sent
    bool senderCancelled = false;
    bool complete = false;  // the current upload ended with EOT
    bool imageValid = false;
    int checksumReplies = 0;
    std::uint16_t lastChecksum = 0;  // as sent in the last checksum reply
  };

  // now: the instrument's clock in ms (virtual in virtual-time tests).
  XmodemLoader(const XmodemConfig& config, std::function<std::uint32_t()> now);

  // The firmware echoed start command 1250, 1255 (enter at the rate of rateCode) or 1256
  // (restart first).
  void Enter(int command, int rateCode);
  // Host bytes on the loader's line; the answers are appended to out.
  void Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
  // Time-driven work: 'C' requests, timeouts, a NAK after the purge, the end of the restart.
  void Tick(std::vector<std::uint8_t>& out);

  Phase GetPhase() const { return phase_; }
  // The rate it listens at; false from Listening while it restarts.
  std::uint32_t Baud() const { return baud_; }
  bool Listening() const;
  Status GetStatus() const;
  // Every data byte taken by the current (or last) upload, whole packets.
  const std::vector<std::uint8_t>& Received() const { return image_; }
  // Checksum over what precedes the trailer; true when the image is complete and its trailer
  // agrees.
  std::uint16_t ImageChecksum() const;
  bool ImageValid() const;
  // Set by "r": the application runs, the loader is left.
  bool TakeApplicationStart();

  // Receives ("xmodem" | "fault" | "state", text) for the command log.
  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  void Advance(std::uint32_t now, std::vector<std::uint8_t>& out);
  void CommandByte(std::uint8_t b, std::vector<std::uint8_t>& out);
  void CommandLine(const std::string& line, std::vector<std::uint8_t>& out);
  void StartWaitLine(const std::string& line, std::vector<std::uint8_t>& out);
  void Execute(char letter, std::vector<std::uint8_t>& out);
  void ReceiveByte(std::uint8_t b, std::vector<std::uint8_t>& out);
  void HandlePacket(std::vector<std::uint8_t>& p, std::vector<std::uint8_t>& out);
  void Error(const std::string& reason, bool lineQuiet, std::vector<std::uint8_t>& out);
  void Cancel(const std::string& reason, std::vector<std::uint8_t>& out);
  void Nak(std::vector<std::uint8_t>& out);
  void Reply(const std::string& line, std::vector<std::uint8_t>& out);
  bool FaultDue(XmodemFaultKind kind, int nth) const;
  void Log(const std::string& kind, const std::string& text) const {
    if (log) log(kind, text);
  }

  XmodemConfig config_;
  std::function<std::uint32_t()> now_;
  Phase phase_ = Phase::Off;
  std::uint32_t baud_ = 9600;
  int startCommand_ = 0;
  std::uint32_t restartAt_ = 0;
  bool unlockNeeded_ = false;
  bool appStart_ = false;

  // Command dialogue.
  std::string line_;
  bool overlong_ = false;
  char letter_ = 0;  // a command letter waiting for its unlock code
  std::string code_;
  std::uint32_t letterAt_ = 0;
  int versionQueries_ = 0;
  int checks_ = 0;  // "c" commands carried out

  // Transfer.
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> packet_;
  std::size_t packetSize_ = 0;
  int expected_ = 1;      // number of the next packet, not reduced modulo 256
  bool senderStarted_ = false;  // a packet header was seen: no more 'C'
  bool purging_ = false;  // a NAK is due once the line is quiet
  bool lastWasCan_ = false;
  int errors_ = 0;        // consecutive errors
  std::uint32_t lastIn_ = 0;      // last byte from the host
  std::uint32_t lastActive_ = 0;  // last byte either way during the transfer
  std::uint32_t lastRequest_ = 0;
  int rounds_ = 0;  // request intervals of this upload, sent or not
  bool silentStart_ = false;  // NoStart fault for this upload
  Status status_;
};

const char* XmodemPhaseName(XmodemLoader::Phase phase);

}  // namespace sim
