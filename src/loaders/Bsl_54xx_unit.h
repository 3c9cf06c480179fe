#pragma once
// T_BSL_54XX_430: programs instruments whose processor carries the UART bootstrap loader of
// the MSP430 5xx/6xx generation. The instrument dialogue is the classic procedure's; the
// loader dialogue is the step table in Bsl_54xx_unit.cpp: password, version, identifier, baud
// change, erase, writes, read-back and the start of the new firmware, each step one frame with
// the steps that follow its acknowledgement, its success message, its data reply and its
// refusal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel/Events.h"
#include "loaders/Bsl54xxFrame.h"
#include "loaders/Bsl_unit.h"
#include "loaders/Image.h"
#include "procedure/Procedure.h"

namespace loaders {

class T_BSL_54XX_430 : public BootstrapLoader {
 public:
  explicit T_BSL_54XX_430(const procedure::ProcedureContext& context);
  ~T_BSL_54XX_430() override;
  T_BSL_54XX_430(const T_BSL_54XX_430&) = delete;
  T_BSL_54XX_430& operator=(const T_BSL_54XX_430&) = delete;

  // syncFirst has no effect: the 5xx loader needs no synchronisation.
  bool Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst) override;
  bool SendCommand(const std::string& text) override;
  int ErrorCode() const override { return errorCode_; }

  // Status codes of the steps (the classic procedure's numbering).
  enum Status {
    StVersion = 2, StBaud = 3, StPassword = 4, StErase = 5, StEraseTop = 6, StWrite = 8,
    StReadBack = 9, StStart = 10, StUnknown = 16, StLoaderRefused = 17,
  };

  // The retry history has two entries: a refused or silent step is sent at most three times
  // in a row.
  static constexpr std::size_t kRepeatLimit = 2;

  enum class Step : std::uint8_t {
    None,  // an empty continuation slot
    // frame steps
    Password, ReadVersion, ReadIdentifier, ChangeBaud, Erase, EraseTop, WriteBlock, ReadBack,
    StartFirmware,
    // decisions
    AfterPassword, VersionReply, IdentifierReply, AfterBaud, EraseLoop, TopErased, AfterWrite,
    CompareBlock, Finished,
    Count
  };

  // Information memory and the loader's own memory lie below this address: the erase never
  // reaches them (see EraseLoop).
  static constexpr std::uint32_t kMainFloor = 0x1A00;

 private:
  using FrameBuilder = std::optional<bsl54xx::Frame> (T_BSL_54XX_430::*)();
  using Decision = void (T_BSL_54XX_430::*)();
  struct StepDef {
    Step step;
    const char* name;
    int status;          // frame steps only
    FrameBuilder frame;  // frame steps: the frame, or nothing when the step became another one
    Decision decide;     // decisions
    Step onAck, onSuccess, onData, onNak;
  };
  static const StepDef kSteps[];
  static const StepDef& Def(Step step);

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);

  // ---- link layer ----
  void Go(Step step);
  void Send(const bsl54xx::Frame& frame);
  void OnReceive();
  void OnReply(const std::uint8_t* frame, std::size_t size);
  void OnMessage(std::uint8_t code);
  void OnTimeout();
  void RetryRule(const char* why);
  void Progress();
  void Fail(int status);

  // ---- instrument dialogue ----
  void TakeVector(const std::string& text);
  void EnterLoader();

  // ---- frames of the steps ----
  std::optional<bsl54xx::Frame> PasswordFrame();
  std::optional<bsl54xx::Frame> VersionFrame();
  std::optional<bsl54xx::Frame> IdentifierFrame();
  std::optional<bsl54xx::Frame> BaudFrame();
  std::optional<bsl54xx::Frame> EraseFrame();
  std::optional<bsl54xx::Frame> EraseTopFrame();
  std::optional<bsl54xx::Frame> WriteFrame();
  std::optional<bsl54xx::Frame> ReadBackFrame();
  std::optional<bsl54xx::Frame> StartFrame();

  // ---- decisions ----
  void AfterPassword();
  void VersionReply();
  void IdentifierReply();
  void AfterBaud();
  void EraseLoop();
  void TopErased();
  void AfterWrite();
  void CompareBlock();
  void Finished();

  bool ReadImageFile(const std::string& fileName);
  std::optional<std::uint8_t> ImageByte(std::uint32_t address) const;
  void PlanErase();
  void ReturnLoaderTo9600();
  void ShowError();
  void Trace(const std::string& line);

  procedure::ProcedureContext ctx_;

  std::vector<ImageBlock54xx> image_;
  int lastIndex_ = -1;
  int vectorIndex_ = -1, vectorCount_ = 0;
  std::uint16_t resetVector_ = 0;

  int variant_ = 0;
  bool askFirst_ = false;
  bool failed_ = false, done_ = false;
  bool loaderMode_ = false;
  bool vectorKnown_ = false;
  // What the instrument dialogue waits for: a surplus answer leads nowhere.
  bool ackAwaited_ = false, vectorAwaited_ = false, echoAwaited_ = false;
  bsl54xx::Password password_{};
  bool erasedPassword_ = false;  // the loader erased the flash: the password is all 0xFF
  bool topErased_ = false;
  bool baudChanged_ = false;     // the loader listens at 38400
  bool atFlag_ = false;
  std::uint32_t eraseAddress_ = 0;
  std::uint32_t eraseFloor_ = 0;  // the lowest segment the erase loop reaches
  int blockIndex_ = 0;
  std::int32_t timer_ = 0;
  int status_ = 0;
  int errorCode_ = 0;
  std::string imageError_;

  struct Slots {
    Step ack = Step::None, success = Step::None, data = Step::None, nak = Step::None;
  } slots_;
  procedure::RetryHistory<Step, kRepeatLimit> history_;
  std::string sent_;                 // the last step sent, for the trace
  std::vector<std::uint8_t> reply_;  // the data reply a decision reads

  static constexpr std::size_t kReceiveCap = 1000;
  std::vector<std::uint8_t> rx_;
};

}  // namespace loaders
