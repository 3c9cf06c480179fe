#pragma once
// The file receiver of a Windows-CE instrument. Once the line runs at the transfer speed the
// host announces each file ("A.1201#" or "A.1205#" with its path, DOS time stamp and size),
// sends it in packets "D.<n>,<c>#" followed by exactly n raw bytes, closes it with "A.1202"
// and ends the transfer with "A.1203". Every step is answered "!"; a packet whose data do not
// give its check character is asked for again with reply 261 "2" ("I.261#2"). Packets carry
// any byte, CR and LF included, so they are read by their length, never as lines.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "sim/Config.h"

namespace sim {

// CRC-8 over n bytes: polynomial 0x1D, initial value 0xFF, most significant bit first, no
// reflection and no final XOR (CRC-8/HITAG in the usual catalogue of CRC parameters; its
// check value over "123456789" is 0xB4).
std::uint8_t Crc8(const std::uint8_t* data, std::size_t n);
// The check character a packet header carries for a CRC value. It must not end the header
// early nor be mistaken for its punctuation: 0x00 is sent as 0x01, and 'D', ',' and '#' as
// the next character ('E', '-', '$').
std::uint8_t CheckCharacter(std::uint8_t crc);
// A packet as the host sends it: "D.<n>,<c>#" and the bytes.
std::vector<std::uint8_t> WinCEPacket(const std::uint8_t* data, std::size_t n);
// The rates "A.1300#<rate>" may ask for.
bool ParseTransferRate(const std::string& text, std::uint32_t& baud);
// A packed DOS date and time (date in the high word) as local calendar time; false when the
// fields are out of range (for example the "no time stamp" value 0xFFFFFFFF).
bool DosTimeToTm(std::uint32_t stamp, std::tm& out);

class WinCEReceiver {
 public:
  WinCEReceiver(const WinCEConfig& config, std::function<std::uint32_t()> clock);

  // A transfer starts at the new speed: whatever was half received is forgotten.
  void Start();
  // Leaves the receiver without a word (the host went away); an open file is dropped.
  void Abandon();
  // Host bytes at the right line; answers are appended to out.
  void Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
  // A packet that stopped arriving for blockTimeoutMs is asked for again.
  void Tick(std::vector<std::uint8_t>& out);

  // Set by "A.1300#<rate>": the line is to change; the "!" comes at the new rate.
  bool TakeSpeedRequest(std::uint32_t& baud);
  // "A.1203" was acknowledged since Start.
  bool TransferEnded() const { return ended_; }
  int Blocks() const { return blocks_; }
  // The instrument's files: the configured ones and those received, a received file
  // replacing one of the same name (names compared without regard to case).
  const std::vector<WinCEFile>& Files() const { return files_; }
  // Names of the files received completely, in the order they were closed.
  const std::vector<std::string>& Received() const { return received_; }

  // A text fault due for this command key ("D" for a packet), or none; counts the command.
  std::function<const TextFault*(const std::string& key)> dueFault;
  // Every command line of the receiver, for the command list and log.
  std::function<void(const std::string& line)> note;
  // Lines that are no receiver command go to the ordinary command protocol.
  std::function<void(const std::string& line, std::vector<std::uint8_t>& out)> other;
  // ("block" | "fault" | "file", text) for the log.
  std::function<void(const std::string& kind, const std::string& text)> log;

 private:
  enum class Rx { Line, Count, Check, Hash, Data, Skip };
  void HandleLine(const std::string& line, std::vector<std::uint8_t>& out);
  void HandleBlock(std::vector<std::uint8_t>& out);
  void Announce(const std::string& arg, int code, std::vector<std::uint8_t>& out);
  void Close(std::vector<std::uint8_t>& out);
  bool Faulted(const std::string& key, std::vector<std::uint8_t>& out);
  void BadHeader(const std::string& why, std::uint8_t c, std::vector<std::uint8_t>& out);
  void DropOpenFile(const std::string& why);
  void Log(const std::string& kind, const std::string& text) {
    if (log) log(kind, text);
  }

  WinCEConfig config_;
  std::function<std::uint32_t()> clock_;
  std::vector<WinCEFile> files_;
  std::vector<std::string> received_;

  Rx rx_ = Rx::Line;
  std::string line_;
  bool overlong_ = false;
  std::uint32_t count_ = 0;  // the packet's announced length
  int digits_ = 0;
  std::uint8_t check_ = 0;
  std::vector<std::uint8_t> block_;  // up to blockLimit bytes
  std::uint32_t got_ = 0;            // bytes of the packet received, kept or not
  std::uint32_t lastByteMs_ = 0;

  bool open_ = false;  // a file was announced and not yet closed
  WinCEFile current_;
  std::uint32_t announcedSize_ = 0;
  bool ended_ = false;
  bool speedRequest_ = false;
  std::uint32_t speedBaud_ = 0;
  int blocks_ = 0;
};

}  // namespace sim
