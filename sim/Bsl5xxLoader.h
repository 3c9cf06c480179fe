#pragma once
// The UART bootstrap loader of the MSP430 5xx/6xx generations as its maker publishes it. A
// packet is 80 NL NH core CKL CKH, the checksum a CRC-16/CCITT-FALSE over the core, low byte
// first. The peripheral interface answers every packet at once with one byte: 0x00 when it was
// well formed, else an error (0x51 header, 0x52 checksum, 0x53 size zero, 0x54 size above the
// 260-byte buffer, 0x56 unknown baud rate). The core then answers in the same packet form with
// data (0x3A ...) or a message (0x3B code). Nothing times out: a packet that stops half-way
// takes the next bytes as its rest, as on the device.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/Config.h"
#include "sim/Flash.h"

namespace sim {

constexpr std::uint8_t Bsl5xxHeader = 0x80;
constexpr std::uint8_t Bsl5xxAck = 0x00;
constexpr std::uint8_t Bsl5xxHeaderIncorrect = 0x51;  // also the character 'Q'
constexpr std::uint8_t Bsl5xxChecksumIncorrect = 0x52;
constexpr std::uint8_t Bsl5xxPacketSizeZero = 0x53;
constexpr std::uint8_t Bsl5xxPacketSizeTooBig = 0x54;
constexpr std::uint8_t Bsl5xxUnknownError = 0x55;
constexpr std::uint8_t Bsl5xxUnknownBaudRate = 0x56;
constexpr std::uint8_t Bsl5xxDataReply = 0x3A;
constexpr std::uint8_t Bsl5xxMessageReply = 0x3B;
// Core messages.
constexpr std::uint8_t Bsl5xxOk = 0x00;
constexpr std::uint8_t Bsl5xxWriteCheckFailed = 0x01;
constexpr std::uint8_t Bsl5xxLocked = 0x04;
constexpr std::uint8_t Bsl5xxPasswordError = 0x05;
constexpr std::uint8_t Bsl5xxUnknownCommand = 0x07;
// The receive buffer, which is also the send buffer; a core larger than this is refused.
constexpr std::size_t Bsl5xxBufferSize = 260;

// CRC-16/CCITT-FALSE (polynomial 0x1021, start 0xFFFF, no reflection, no final XOR): what
// the device's CRC module computes byte by byte; "123456789" gives 0x29B1.
std::uint16_t Crc16Ccitt(const std::uint8_t* data, std::size_t n);
// A complete packet around the core: 80 NL NH core CKL CKH.
std::vector<std::uint8_t> Bsl5xxFrame(const std::vector<std::uint8_t>& core);

class Bsl5xxLoader {
 public:
  Bsl5xxLoader(const Bsl5xxConfig& config, const std::vector<FrameFault>& faults, Flash& flash);

  // The instrument jumps into its loader: 9600 baud 8E1, locked, waiting for a header.
  void Enter();
  // Host bytes on the loader's line; the loader's answers are appended to out.
  void Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);

  std::uint32_t Baud() const { return baud_; }
  bool Unlocked() const { return unlocked_; }
  bool InfoALocked() const { return infoALocked_; }
  // False after a load PC into memory whose code the simulation cannot run (RAM, information
  // memory, vacant addresses): the device no longer answers until the loader is entered again.
  bool Running() const { return running_; }
  int Frames() const { return frames_; }  // well-formed packets received
  // Set by a load PC into main flash: the firmware runs, the loader is left.
  bool TakeFirmwareStart();

  // Receives ("frame" | "fault" | "state", text) for the command log.
  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  struct Faults {
    bool corruptReply = false;
    bool wrongData = false;
    bool loseAnswer = false;
  };
  void Packet(std::vector<std::uint8_t>& out);
  void Command(std::vector<std::uint8_t>& out, const Faults& faults);
  void ChangeBaud(std::vector<std::uint8_t>& out);
  // The reply packet of the first size bytes of the buffer.
  void Send(std::size_t size, std::vector<std::uint8_t>& out, const Faults& faults);
  void Message(std::uint8_t code, std::vector<std::uint8_t>& out, const Faults& faults);
  void SendData(std::uint32_t address, std::uint32_t length, std::vector<std::uint8_t>& out,
                const Faults& faults);
  std::uint8_t WriteMemory(std::uint32_t address, std::size_t size, const std::uint8_t* data);
  void WriteUnit(std::uint32_t address, std::uint8_t value);
  bool InInfoA(std::uint32_t address) const;
  void Erase(std::uint32_t address);
  void MassErase();
  void Log(const std::string& kind, const std::string& text) {
    if (log) log(kind, text);
  }

  Bsl5xxConfig config_;
  std::vector<FrameFault> faults_;
  Flash& flash_;
  // Receive state as the device's packet reader keeps it.
  std::size_t pointer_ = 0;
  std::size_t size_ = 0;
  std::uint16_t checksum_ = 0;
  std::array<std::uint8_t, Bsl5xxBufferSize> buffer_{};
  std::uint32_t baud_ = 9600;
  bool unlocked_ = false;
  bool infoALocked_ = true;
  bool running_ = true;
  bool firmwareStarted_ = false;
  int frames_ = 0;
  std::map<std::uint8_t, int> framesOf_;
};

}  // namespace sim
