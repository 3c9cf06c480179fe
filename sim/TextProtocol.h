#pragma once
// The instrument's command protocol in normal operation: CR LF terminated ASCII commands
// ("A.2000", "A.6162#947.0"), answered with "!", "?", numbered replies "I.20#28160.000" or
// the echo of a loader start command.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/Config.h"
#include "sim/FileListReceiver.h"

namespace sim {

class TextProtocol {
 public:
  // The config is the instrument's own (the version changes after an update).
  TextProtocol(InstrumentConfig& config, std::function<std::uint16_t()> resetVector);

  // Host bytes at the right rate; answers are appended to out. Returns the bytes taken: after
  // a loader start the rest belongs to the loader.
  std::size_t Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out);
  // True once after a loader start command was echoed.
  bool TakeLoaderRequest();
  // Set once by "A.1300#<rate>" when the file receiver is enabled (no answer at the old rate).
  bool TakeSpeedRequest(std::uint32_t& baud);
  // True once after the Basic-Loader's entry command.
  bool TakeBasicLoaderRequest();

  // One whole command line (without its end), as if it had arrived.
  void Line(const std::string& line, std::vector<std::uint8_t>& out);
  // Records a command that another part of the instrument handles (command list and log).
  void Note(const std::string& line);
  // The text fault due for this command key, counting the command; null when none is.
  const TextFault* DueFault(const std::string& key);
  // What the instrument answers under a due fault: nothing (silence), "?" or "I.261#n".
  std::string InjectedReply(const TextFault& due);
  // True once after a start command of the XMODEM loader was echoed, with its number and rate code.
  bool TakeXmodemRequest(int& command, int& rateCode);

  const std::vector<std::string>& Commands() const { return commands_; }
  bool InCommandMode() const { return commandMode_; }
  bool Ended() const { return ended_; }
  int EndCount() const { return endCount_; }
  const std::string& ClockValue() const { return clock_; }
  int ClockCount() const { return clockCount_; }
  const std::string& AirPressure() const { return airPressure_; }
  const FileListReceiver& Upload() const { return upload_; }

  std::function<void(const std::string& line)> onCommand;  // every command line received
  std::function<void(const std::string& text)> onFault;

 private:
  void Handle(const std::string& line, std::vector<std::uint8_t>& out);
  bool Answer(const std::string& key, const std::string& arg, const std::string& line,
              std::vector<std::string>& replies);
  void FinishPacket(std::vector<std::uint8_t>& out);

  InstrumentConfig& config_;
  std::function<std::uint16_t()> resetVector_;
  std::string line_;
  bool overlong_ = false;
  std::vector<std::string> commands_;
  std::map<std::size_t, int> faultCounts_;
  bool commandMode_ = false;
  bool sessionSeen_ = false;
  bool ended_ = false;
  int endCount_ = 0;
  bool loaderRequest_ = false;
  bool speedRequest_ = false;
  std::uint32_t speedBaud_ = 0;
  bool basicRequest_ = false;
  bool xmodemRequest_ = false;
  int xmodemCommand_ = 0;
  int xmodemRate_ = 0;
  std::string clock_, airPressure_;
  int clockCount_ = 0;
  // A packet of the file-list upload: after "A.12010#" its length byte, then its data.
  enum class PacketState { None, Length, Data };
  PacketState packetState_ = PacketState::None;
  std::size_t packetLeft_ = 0;
  std::vector<std::uint8_t> packet_;
  FileListReceiver upload_;
};

}  // namespace sim
