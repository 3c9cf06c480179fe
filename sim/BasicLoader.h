#pragma once
// The "Basic-Loader" terminal of older instruments. After a restart it prints its banner and
// asks whether a PC is there; once the PC listens at the loader's line it erases the
// flash, asks for an S-record file, programs it record by record and reports the result in
// plain text. A record that breaks the Motorola S-record rules ends the run with
// "S-Record defect!". Flash programming pauses the loader after each record: it stops the
// host with its RTS, so a host that ignores CTS loses what it sends meanwhile.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/Config.h"

namespace sim {

// One Motorola S-record: "S", the type digit, the count of the bytes that follow (address,
// data, checksum) as two hexadecimal digits, the address (2 bytes for S0/S1/S5/S9, 3 for
// S2/S6/S8, 4 for S3/S7), the data, and the one's complement of the low byte of the sum of
// count, address and data bytes.
struct SRecord {
  int type = 0;
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;
};
// Reads one record (the line without its end). False with the reason for anything else:
// no "S" and type, the reserved S4, odd or non-hexadecimal digits, a count that disagrees
// with the line or is too small for the address, data on a count or end record, a wrong sum.
bool ParseSRecord(const std::string& line, SRecord& record, std::string* why);
// One record line (without line end) with its count and checksum.
std::string FormatSRecord(int type, std::uint32_t address, const std::uint8_t* data, std::size_t n);
// A whole file for the bytes: S0 header, data records of up to 32 bytes (S1, S2 or S3 by the
// highest address), an S5 count when it fits, and the matching end record with the entry
// address. CR LF line ends.
std::string FormatSRecords(const std::map<std::uint32_t, std::uint8_t>& bytes, const std::string& header,
                           std::uint32_t entry);

class BasicLoader {
 public:
  enum class Phase { Off, WaitingForPc, Receiving, Programmed, Defect, Silent, Aborted };

  explicit BasicLoader(const BasicLoaderConfig& config);

  // The instrument restarts into the loader: banner and question go to out.
  void Enter(std::vector<std::uint8_t>& out);
  // The loader was running before anyone listened: its banner is gone, it waits for the PC.
  void EnterQuietly();
  // The PC is there (its RTS active at the loader's line): erase and ask for the file.
  void PcReady(std::vector<std::uint8_t>& out);
  // Host bytes at the loader's line; flowControl tells whether the host stops on CTS.
  void Feed(const std::uint8_t* data, std::size_t n, bool flowControl, std::vector<std::uint8_t>& out);

  Phase GetPhase() const { return phase_; }
  // Every byte programmed since the erase, by address (0xFF included when written).
  const std::map<std::uint32_t, std::uint8_t>& Memory() const { return memory_; }
  int Records() const { return records_; }          // record lines taken
  int DataRecords() const { return dataRecords_; }  // S1, S2, S3
  std::uint32_t EntryAddress() const { return entry_; }
  std::uint32_t Baud() const { return config_.baud; }

  // ("loader" | "record" | "fault", text) for the log.
  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  void HandleRecord(const std::string& line, std::vector<std::uint8_t>& out);
  void Defect(const std::string& why, std::vector<std::uint8_t>& out);
  void Say(std::vector<std::uint8_t>& out, const std::string& line);
  void Log(const std::string& kind, const std::string& text) {
    if (log) log(kind, text);
  }

  BasicLoaderConfig config_;
  Phase phase_ = Phase::Off;
  std::string line_;
  bool overlong_ = false;
  std::map<std::uint32_t, std::uint8_t> memory_;
  int records_ = 0;
  int dataRecords_ = 0;
  std::uint32_t entry_ = 0;
};

const char* PhaseName(BasicLoader::Phase phase);

}  // namespace sim
