#pragma once
// T_EMFLoader: programs instruments whose boot loader takes a binary image with XMODEM-CRC.
// Run talks the instrument into its loader with the text protocol, switches the line to the
// loader's rate (8N2), reads the loader's version, sends the image (Xmodem.h), has the loader
// report the image's checksum and starts the new application only when that checksum is the
// image's. The dialogue is the step table in Emf_loadunit.cpp.
#include <cstdint>
#include <string>

#include "comport/Comport.h"
#include "kernel/Events.h"
#include "loaders/Xmodem.h"
#include "procedure/Procedure.h"

namespace loaders {

class T_EMFLoader {
 public:
  explicit T_EMFLoader(const procedure::ProcedureContext& context);
  ~T_EMFLoader();
  T_EMFLoader(const T_EMFLoader&) = delete;
  T_EMFLoader& operator=(const T_EMFLoader&) = delete;

  // sensorUpdate: 0 the instrument's firmware (start command "A.1250"), 1 a sensor's ("A.1255",
  // or "A.1256" with its restart when no sensor is connected). repeatAllowed changes nothing.
  // True only when the loader reported the image's checksum and was told to start it.
  bool Run(int sensorUpdate, const std::string& fileName, bool repeatAllowed);
  // The status code of the failed step; 0 after a successful run.
  int ErrorCode() const { return errorCode_; }

  // The image buffer: files up to kMaxFileSize (1,499,897 bytes) fit with padding and trailer.
  static constexpr std::size_t kImageCapacity = 1500000;
  static constexpr std::size_t kMaxFileSize = xmodem::MaxFileSize(kImageCapacity);

  // No answer from the instrument for this long (at any stage) ends the run.
  static constexpr std::uint32_t kSupervisionMs = 10000;
  // The answer to "A.1000": an instrument that gives none within this time may still sit in
  // its loader (a repeated run after a failure): its version query follows.
  static constexpr std::uint32_t kWakeAnswerMs = 3000;
  // A packet or EOT without an answer for this long is sent again.
  static constexpr std::uint32_t kPacketAnswerMs = xmodem::Sender::kAnswerMs;
  // The longest wait for a step's answer, however much else the instrument sends meanwhile.
  static constexpr std::uint32_t kAnswerLimitMs = 30000;
  static constexpr std::uint32_t kLoaderSettleMs = 3000;   // after the switch to the loader's rate
  static constexpr std::uint32_t kRestartMs = 10000;       // the instrument's restart ("A.1256")

  enum Status {
    StWake = 1, StStart = 2, StRestart = 3, StVersion = 4, StUpload = 5, StTransfer = 6,
    StChecksum = 7, StRun = 8, StImage = 9,
  };

  enum class Step : std::uint8_t {
    None,
    // steps that send
    Wake, StartLoader, Restart, Entry, Upload, Close, Launch,
    // decisions
    Echoed, VersionReply, CompareChecksum, Finished,
    Count
  };

 private:
  // What a step waits for.
  enum class Answer : std::uint8_t {
    None,      // nothing: the next step follows at once
    Ack,       // "!"
    Echo,      // the command echoed
    Version,   // reply 251
    Transfer,  // the XMODEM transfer, to the acknowledged EOT
    Checksum,  // reply 1205
  };
  using Action = void (T_EMFLoader::*)();
  struct StepDef {
    Step step;
    const char* name;
    int status;
    Action send;     // steps that send: the command (or the line change and command)
    Action decide;   // decisions: pick the next step; they send nothing
    Answer awaits;
    Step next;       // after the awaited answer
    std::uint32_t answerMs;  // 0: only the supervision limits the wait
    Step onSilence;  // after answerMs without the answer
    Step onRefusal;  // after "?"; None: the run fails
  };
  static const StepDef kSteps[];
  static const StepDef& Def(Step step);

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);
  void Go(Step step);
  void OnAnswer(Answer answer);
  void OnRefusal();
  void OnAnswerTimer();
  void OnReceive();
  void Apply(const xmodem::Sender::Reaction& r);
  void RestartSupervision();
  void StartAnswerTimer(std::uint32_t ms);
  void StopAnswerTimer();

  // ---- what the steps send ----
  void SendWake();
  void SendStart();
  void SendRestart();
  void SendVersionQuery();
  void SendUpload();
  void SendChecksumCommand();
  void SendRun();
  void WriteLetter(char letter);
  void Write(const void* data, std::size_t n);
  void WriteText(const char* text);

  // ---- decisions ----
  void Echoed();
  void VersionReply();
  void CompareChecksum();
  void Finished();

  bool ReadImage(const std::string& fileName);
  void Fail(int status);
  void FailWith(const std::string& text, int status);
  void Progress();
  void ShowError();
  void Trace(const std::string& line) { ctx_.host.LogLine(line); }

  procedure::ProcedureContext ctx_;
  std::string fileName_;
  xmodem::Image image_;
  xmodem::Sender sender_{0};

  int startCommand_ = 0;          // index into the start commands: A.1250, A.1255, A.1256
  comport::BaudTag loaderBaud_{};  // the rate the loader was told
  bool unlock_ = false;           // loader 1.06 and above
  bool transferMode_ = false;     // the port's bytes are XMODEM answers
  bool loaderAnswered_ = false;   // the loader's version reply came
  Step current_ = Step::None;
  Answer awaiting_ = Answer::None;
  std::string replyText_;         // the text of the awaited reply (251, 1205)
  std::string lastCommand_;       // as a refusal names it
  bool failed_ = false, done_ = false;
  int status_ = 0;
  int errorCode_ = 0;
  std::int32_t supervision_ = 0;  // pool timer of the 10-second supervision
  std::int32_t answerTimer_ = 0;  // pool timer of a step's own answer limit
};

}  // namespace loaders
