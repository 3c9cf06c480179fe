#pragma once
// A plain record loader, as many small serial boot loaders are built: the host sends the
// lines of an Intel HEX or Motorola S-record image one by one and the loader answers each
// with one byte. It is what the stand-ins of the package's loader programs and of the
// updater library talk to; the tool itself never speaks it.
//
// Lines end at CR or LF (empty lines are ignored). Answers: ACK 0x06, NAK 0x15.
//   "E"        erase main flash
//   "?"        are you there (ACK)
//   ":..."     Intel HEX record: 00 data, 01 end, 02 segment base, 04 linear base, 03/05 ignored
//   "S..."     S-record: S1/S2/S3 data, S7/S8/S9 end, S0/S5/S6 ignored
// A record is refused (NAK, nothing written) when its hex digits, length or checksum are wrong,
// its type is unknown, or a data byte would fall outside main flash. An end record is
// acknowledged and then the firmware starts.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/Config.h"
#include "sim/Flash.h"

namespace sim {

class RecordLoader {
 public:
  static constexpr std::uint8_t kAck = 0x06;
  static constexpr std::uint8_t kNak = 0x15;
  static constexpr std::size_t kLineMax = 600;

  RecordLoader(const RecordLoaderConfig& config, Flash& flash) : config_(config), flash_(flash) {}

  // A fresh receiver and base address.
  void Enter();
  void Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
  // True once after an end record.
  bool TakeFirmwareStart();
  int DataRecords() const { return dataRecords_; }
  std::uint32_t Baud() const { return config_.baud; }

  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  bool Line(const std::string& line);
  bool IntelRecord(const std::string& line);
  bool SRecord(const std::string& line);
  bool Write(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
  void Log(const std::string& text);

  const RecordLoaderConfig& config_;
  Flash& flash_;
  std::string line_;
  bool overlong_ = false;
  std::uint32_t base_ = 0;
  int dataRecords_ = 0;
  bool started_ = false;
};

}  // namespace sim
