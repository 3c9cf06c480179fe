#pragma once
// T_BSL430: programs instruments whose processor carries the classic serial bootstrap
// loader. Run reads the image, asks the instrument to start its loader (or goes straight on
// when it is already in it), then writes, verifies and starts the firmware through the
// loader's frames. The loader dialogue is the step table in Bsl_unit.cpp: each step sends one
// frame and names the steps that follow its acknowledgement, its refusal and its reply frame.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kernel/Events.h"
#include "loaders/BslFrame.h"
#include "loaders/Image.h"
#include "procedure/Procedure.h"

namespace loaders {

// What the session sees of a bootstrap loader (the classic one and the 5xx one).
class BootstrapLoader {
 public:
  virtual ~BootstrapLoader() = default;
  // variant: 0 instrument firmware, 1 sensor firmware, 2 no sensor connected. True when the
  // firmware was written, verified and started.
  virtual bool Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst) = 0;
  // Writes the text to the port and traces it.
  virtual bool SendCommand(const std::string& text) = 0;
  // The status code of the failed step; 0 after a successful run.
  virtual int ErrorCode() const = 0;
};

class T_BSL430 : public BootstrapLoader {
 public:
  explicit T_BSL430(const procedure::ProcedureContext& context);
  ~T_BSL430() override;
  T_BSL430(const T_BSL430&) = delete;
  T_BSL430& operator=(const T_BSL430&) = delete;

  bool Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst) override;
  bool SendCommand(const std::string& text) override;
  int ErrorCode() const override { return errorCode_; }

  // Status codes of the steps.
  enum Status {
    StSync = 1, StVersion = 2, StBaud = 3, StPassword = 4, StErase = 5, StEraseTop = 6,
    StWrite = 8, StReadBack = 9, StStart = 10, StPatchLoadPc = 11, StPatchStart = 12,
    StPatchWrite = 13, StPatchReadBack = 14, StMemoryOffset = 15, StUnknown = 16,
    StLoaderRefused = 17,
  };

  // A refused or silent step is repeated at most this often in a row.
  static constexpr std::size_t kRepeatLimit = 3;

  // The steps of the loader dialogue. Frame steps send one frame; decisions pick the step
  // that follows and send nothing themselves.
  enum class Step : std::uint8_t {
    None,  // an empty continuation slot
    Keep,  // in the table: the step leaves this slot as it is
    Resync,
    // frame steps
    ReadVersion, ReadInfo, Password, ErasedPassword, ChangeBaud, SetOffset, Erase, EraseInfo, EraseTop,
    WriteBlock, ReadBack, StartFirmware, PatchLoadPc, PatchPassword, PatchWrite, PatchReadBack,
    PatchStart,
    // decisions
    VersionRefused, VersionReply, AfterPassword, AfterBaud, AfterOffset, EraseLoop, TopErased,
    AfterWrite, CompareBlock, Finished, PatchAfterLoadPc, PatchPasswordAccepted, PatchAfterWrite,
    PatchCompare, AfterPatchStart, ResumeAfterPassword,
    Count
  };

 private:
  using FrameBuilder = std::optional<bsl::Frame> (T_BSL430::*)();
  using Decision = void (T_BSL430::*)();
  struct StepDef {
    Step step;
    const char* name;
    int status;           // frame steps only
    FrameBuilder frame;   // frame steps: the frame, or nothing when the step became another one
    Decision decide;      // decisions
    Step onAck, onNak, onFrame;
  };
  static const StepDef kSteps[];
  static const StepDef& Def(Step step);

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);

  // ---- link layer ----
  void Go(Step step);
  // One synchronisation, then next. After a synchronisation that was just acknowledged the
  // loader takes the next 0x80 as a frame header, so a second one is never sent: next goes
  // out at once. nakOfSync is what a refused synchronisation repeats.
  void SendSync(Step next, Step nakOfSync = Step::Resync);
  void Resync();
  void Send(const bsl::Frame& frame);
  void OnReceive();
  void OnTimeout();
  void NakRule(bool timeout);
  void Progress();
  void Fail(int status);

  // ---- instrument dialogue ----
  void TakeVector(const std::string& text);
  void EnterLoader(bool syncFirst);
  std::string DefaultVectorText() const;
  std::uint16_t DefaultVectorWordDirect() const;

  // ---- frames of the steps ----
  std::optional<bsl::Frame> VersionFrame();
  std::optional<bsl::Frame> InfoFrame();
  std::optional<bsl::Frame> PasswordFrame();
  std::optional<bsl::Frame> ErasedPasswordFrame();
  std::optional<bsl::Frame> BaudFrame();
  std::optional<bsl::Frame> OffsetFrame();
  std::optional<bsl::Frame> EraseFrame();
  std::optional<bsl::Frame> EraseInfoFrame();
  std::optional<bsl::Frame> EraseTopFrame();
  std::optional<bsl::Frame> WriteFrame();
  std::optional<bsl::Frame> ReadBackFrame();
  std::optional<bsl::Frame> StartFrame();
  std::optional<bsl::Frame> PatchLoadPcFrame();
  std::optional<bsl::Frame> PatchWriteFrame();
  std::optional<bsl::Frame> PatchReadBackFrame();
  std::optional<bsl::Frame> PatchStartFrame();

  // ---- decisions ----
  void VersionRefused();
  void VersionReply();
  void AfterPassword();
  void AfterBaud();
  void AfterOffset();
  void EraseLoop();
  void TopErased();
  void AfterWrite();
  void CompareBlock();
  void Finished();
  void PatchAfterLoadPc();
  void PatchPasswordAccepted();
  void PatchAfterWrite();
  void PatchCompare();
  void AfterPatchStart();
  void ResumeAfterPassword();
  // Commands the loader refuses while it is locked.
  static bool Protected(Step step);

  // The next image write or read goes through the patch start when the patch is active.
  void Continue(Step next);
  // Sets the memory offset first, then goes on with next.
  void OffsetThen(std::uint8_t offset, Step next);
  bool LoadPatch();
  // The memory offset a block needs: 1 from UpperIndex up to the marker, 0 elsewhere.
  std::uint8_t OffsetFor(int index) const;
  std::uint32_t EraseFloor() const;
  // Reports why the run cannot go on (the memo, always shown) and fails with status.
  void FailWith(const std::string& text, int status);
  bool ReadImageFile(const std::string& fileName);
  void ShowError();
  void Trace(const std::string& line);

  procedure::ProcedureContext ctx_;

  std::vector<ImageBlock> image_;
  int lastIndex_ = -1;
  int upperIndex_ = -1;
  std::vector<ImageBlock> patch_;
  int patchLast_ = -1;
  bool patchRead_ = false;    // Patch.TXT was read before the run touched the instrument
  std::string patchError_;    // why it could not be, when a loader 1.10 turns out to need it

  int variant_ = 0;
  bool askFirst_ = false;
  bool failed_ = false, done_ = false;
  bool loaderMode_ = false;
  // The instrument dialogue acts on the first answer only: a chatty instrument's second "!"
  // or echo must not start the loader twice.
  bool ackAwaited_ = false, vectorAwaited_ = false, echoAwaited_ = false;
  bool vectorKnown_ = false;
  std::uint16_t vectorWord_ = 0;
  bool vectorSegmentErased_ = false;
  bool patchActive_ = false;
  bool passwordAccepted_ = false, versionKnown_ = false;
  std::uint16_t processorId_ = 0;
  int loaderVersion_ = 0;
  std::uint32_t eraseAddress_ = 0;
  bool atFlag_ = false;
  int blockIndex_ = 0, patchIndex_ = 0;
  std::uint8_t memoryOffset_ = 0, offsetMode_ = 0;
  Step offsetNext_ = Step::None;  // where SetOffset goes on
  Step patchNext_ = Step::None;   // where the patch start goes on
  std::int32_t timer_ = 0;
  int status_ = 0;
  int errorCode_ = 0;
  std::string imageError_;

  // Continuation slots, the retry history and what the last step sent (for the trace).
  struct Slots {
    Step ack = Step::None, nak = Step::None, frame = Step::None;
  } slots_;
  procedure::RetryHistory<Step, kRepeatLimit> history_;
  std::string sent_;
  Step sentStep_ = Step::None;  // the step of the last frame sent
  // A wrong password: the maker's loader acknowledges it and refuses the protected commands
  // that follow; parts with the security key have then erased their flash, whose password
  // is 32 bytes 0xFF. Such a refusal is answered once with that password.
  bool protectedOk_ = false;          // a protected command was taken since the password
  bool erasedPasswordTried_ = false;
  bool erasedPasswordReported_ = false;
  Step resume_ = Step::None;          // the refused step to go on with
  bool syncPending_ = false;  // a synchronisation is on its way
  bool synced_ = false;       // ... and was acknowledged: the next 0x80 must be a frame
  std::vector<std::uint8_t> frame_;  // the reply frame a decision reads

  static constexpr std::size_t kReceiveCap = 1000;
  std::vector<std::uint8_t> rx_;
};

}  // namespace loaders
