#pragma once
// The serial ROM loader of the MSP430 1xx/2xx/4xx generations as its maker publishes it:
// sync 0x80 -> 0x90, frames 80 CMD L1 L2 data CKL CKH with the inverted XOR checksum of the
// 16-bit little-endian words, ACK 0x90, NAK 0xA0, reply frames 80 00 n n data CKL CKH.
// Versions below 1.50 have no version command; 1.60 and later can change the baud rate;
// 1.10 writes and reads flash only through a RAM patch that was loaded and started first.
// A password frame is acknowledged whether the password is right or not; a wrong one leaves
// the protected commands refused and, on parts with the security key, erases the flash.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/Config.h"
#include "sim/Flash.h"

namespace sim {

constexpr std::uint8_t BslSync = 0x80;
constexpr std::uint8_t BslAck = 0x90;
constexpr std::uint8_t BslNak = 0xA0;

// Checksum over the first n bytes of a frame, taken as n / 2 little-endian words.
std::uint16_t BslChecksum(const std::uint8_t* frame, std::size_t n);
// A complete frame: header 0x80, command, L1 = L2 = data size, data, checksum.
std::vector<std::uint8_t> BslFrame(std::uint8_t command, const std::vector<std::uint8_t>& data);

class ClassicLoader {
 public:
  ClassicLoader(const LoaderConfig& config, const std::vector<FrameFault>& faults, Flash& flash);

  // The instrument jumps into its loader: 9600 baud, locked, waiting for a sync.
  void Enter();
  // Host bytes on the loader's line; the loader's answers are appended to out.
  void Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);

  // The rate the loader listens at; 0 after a baud change with clock values that do not fit
  // its processor (it then understands nothing until it is entered again).
  std::uint32_t Baud() const { return baud_; }
  Family ProcessorFamily() const { return family_; }
  bool Unlocked() const { return unlocked_; }
  bool PatchArmed() const { return patchArmed_; }
  int Offset() const { return offset_; }
  int Frames() const { return frames_; }
  // Set by a load PC into flash: the firmware runs, the loader is left.
  bool TakeFirmwareStart();

  // Receives ("sync" | "frame" | "fault", text) for the command log.
  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  enum class Rx { Idle, Synced, Frame };
  void HandleFrame(const std::vector<std::uint8_t>& f, std::vector<std::uint8_t>& out);
  bool NeedsPatch(std::uint32_t address, std::uint32_t n) const;
  std::uint32_t Address(const std::vector<std::uint8_t>& f) const;
  void Log(const std::string& kind, const std::string& text) {
    if (log) log(kind, text);
  }

  LoaderConfig config_;
  Family family_;
  bool securityKey_;
  std::vector<FrameFault> faults_;
  Flash& flash_;
  Rx rx_ = Rx::Idle;
  std::vector<std::uint8_t> frame_;
  std::uint32_t baud_ = 9600;
  bool unlocked_ = false;
  bool patchArmed_ = false;
  bool firmwareStarted_ = false;
  int offset_ = 0;
  bool loseAnswer_ = false;
  int frames_ = 0;
  std::map<std::uint8_t, int> framesOf_;
  std::set<std::uint32_t> ramBlocks_;  // start addresses of blocks written to RAM
};

}  // namespace sim
