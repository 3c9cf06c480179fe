#pragma once
// TWinCEProg: updates an instrument built on Windows CE by sending it whole files over its
// command protocol. Run raises the line to 38400 baud 8N2, announces each file (the package's
// first program file, then every file of the FileList) with its path, DOS time stamp and
// size, sends it in packets of up to 2000 bytes protected by a CRC-8, closes it, ends the
// transfer and takes the line back to its rate. Every step waits for the instrument's "!";
// the dialogue is the step table in Winceprog_unit.cpp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/Events.h"
#include "loaders/WinCEPacket.h"
#include "procedure/Infotext.h"
#include "procedure/Procedure.h"

namespace loaders {

class TWinCEProg {
 public:
  explicit TWinCEProg(const procedure::ProcedureContext& context);
  ~TWinCEProg();
  TWinCEProg(const TWinCEProg&) = delete;
  TWinCEProg& operator=(const TWinCEProg&) = delete;

  // The whole transfer; true when the instrument took every file and is back at its rate.
  // mode has no effect; repeat is the user's consent to program the same version again.
  bool Run(int mode, const std::string& firstFile, bool repeat);
  // Writes the text to the port and traces it.
  bool SendCommand(const std::string& text);

  // Each step must be answered within this time.
  static constexpr std::uint32_t kStepTimeoutMs = 8000;
  // The instrument switches its line after the speed command; the PC waits this long first.
  static constexpr std::uint32_t kSwitchWaitMs = 2000;
  static constexpr std::uint32_t kTransferBaud = 38400;
  // A packet the instrument asks for again is sent at most this often in a row.
  static constexpr std::size_t kRepeatLimit = 3;
  // Start-up program version from which the instrument can skip a file it has ("A.1201#").
  static constexpr std::int32_t kSkipStartupVersion = 106;
  // Answer lines longer than this keep their end (a long line is noise before a reply).
  static constexpr std::size_t kLineCap = 256;

  // The dialogue's steps; each sends one thing and names the step its "!" leads to.
  enum class Step : std::uint8_t {
    None, CommandMode, SwitchSpeed, Announce, SendBlock, EndOfFile, NextFile, Finish, RestoreSpeed, Done,
    Count
  };

 private:
  using Action = void (TWinCEProg::*)();
  struct StepDef {
    Step step;
    const char* name;
    Action action;
    Step next;  // what the acknowledgement of this step runs
  };
  static const StepDef kSteps[];
  static const StepDef& Def(Step step);

  struct PackageFile {
    std::string name;  // as the package names it, and as it is announced
    std::string path;  // where it lies
  };

  // What the instrument answered to the step awaited; the run's loop takes it.
  enum class Answer { None, Ack, Skip, Retransmit };

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);
  void OnReceive();
  void OnLine(const std::string& line);
  void TakeAnswer(Answer answer);
  void OnRetransmit();

  void Go(Step step);
  void Await(Step sent);
  void WritePacket();
  void Progress();
  void Fail(const std::string& text);
  void Trace(const std::string& line) { ctx_.host.LogLine(line); }
  std::string Awaited() const;

  // ---- the steps ----
  void CommandMode();
  void SwitchSpeed();
  void Announce();
  void SendBlock();
  void EndOfFile();
  void NextFile();
  void Finish();
  void RestoreSpeed();
  void Done();

  bool CheckFiles(const std::string& firstFile);
  bool LoadFile(const PackageFile& file);
  std::string Message(procedure::Msg msg) const;

  procedure::ProcedureContext ctx_;
  bool failed_ = false, finished_ = false;
  bool lineChanged_ = false;
  bool repeat_ = false;
  // A step's answer is awaited only once the step has sent (after its waits).
  bool awaiting_ = false;
  Step next_ = Step::None;
  Step sent_ = Step::None;  // the step whose answer is awaited
  Answer answer_ = Answer::None;
  int retransmitValue_ = 0;
  std::vector<PackageFile> files_;  // the first program file and the FileList
  std::size_t filesDone_ = 0;       // files_ entries taken
  const PackageFile* current_ = nullptr;
  std::vector<std::uint8_t> data_;  // the current file, at most wince::kFileCap bytes
  std::size_t bytesSent_ = 0;
  std::size_t blockStart_ = 0;
  std::vector<std::uint8_t> retransmit_;  // the last packet, at most wince::kPacketCap bytes
  std::int32_t packetNumber_ = 0;
  procedure::RetryHistory<std::int32_t, kRepeatLimit> history_;
  std::uint32_t savedBaud_ = 0;
  std::int32_t timer_ = 0;
  std::string rx_;  // the answer line being received
};

}  // namespace loaders
