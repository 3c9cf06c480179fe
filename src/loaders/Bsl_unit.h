#pragma once
// T_BSL430: programs instruments whose processor carries the classic serial bootstrap
// loader. Run reads the image, asks the instrument to start its loader (or goes straight on
// when it is already in it), then writes, verifies and starts the firmware through the
// loader's frames. Every step sends one command and names, in three continuation slots, the
// step that follows an acknowledgement, a reply frame or a refusal.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/Events.h"
#include "loaders/Image.h"

namespace platform {
class ProgressBar;
}
namespace kernel {
class TDelay;
}
namespace comport {
class TComPort;
}
namespace update {
class ProcedureHost;
struct DeviceRecord;
}  // namespace update

namespace loaders {
namespace bsl {
struct Frame;
}

class T_BSL430 {
 public:
  T_BSL430(update::ProcedureHost& form, int language, platform::ProgressBar* progressBar,
           kernel::TDelay& delay, update::DeviceRecord* record, comport::TComPort* port,
           kernel::EventQueue& queue);
  virtual ~T_BSL430();
  T_BSL430(const T_BSL430&) = delete;
  T_BSL430& operator=(const T_BSL430&) = delete;

  // variant: 0 instrument firmware, 1 sensor firmware, 2 no sensor connected.
  virtual bool Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst);
  virtual bool SendCommand(const std::string& text);
  virtual int ErrorCode() const { return errorCode_; }

  // Status codes of the steps.
  enum Status {
    StSync = 1, StVersion = 2, StBaud = 3, StPassword = 4, StErase = 5, StEraseTop = 6,
    StWrite = 8, StReadBack = 9, StStart = 10, StPatchLoadPc = 11, StPatchStart = 12,
    StPatchWrite = 13, StPatchReadBack = 14, StMemoryOffset = 15, StLoaderRefused = 17,
  };

 protected:
  using Step = void (T_BSL430::*)();
  using FrameStep = void (T_BSL430::*)(const std::uint8_t* frame, std::size_t size);

  kernel::Event Handler(kernel::EventQueue& sender, kernel::Event ev);

  // ---- link layer ----
  void SendSync(Step next);
  void ResendSync();
  void SendFrame(std::uint8_t command, const std::uint8_t* bytes, std::size_t l1);
  void Send(const bsl::Frame& frame);
  void OnReceive();
  void OnTimeout();
  void NakRule(bool timeout);
  void Advance();
  void Fail(int status);

  // ---- instrument dialogue ----
  void TakeVector(const std::string& text);
  void EnterLoader(bool syncFirst);
  std::string DefaultVectorText() const;
  std::uint16_t DefaultVectorWordDirect() const;

  // ---- programming sequence ----
  void ReadVersion();
  void VersionRefused();
  void VersionReply(const std::uint8_t* frame, std::size_t size);
  void Password();
  void AfterPassword();
  void ChangeBaud();
  void AfterBaud();
  void Erase();
  void EraseLoop();
  void WriteBlock();
  void EraseTop();
  void SetOffset();
  void AfterOffset();
  void TopErased();
  void AfterWrite();
  void ReadBack();
  void CompareBlock(const std::uint8_t* frame, std::size_t size);
  void StartFirmware();
  void Finished();
  // The next image write or read goes through the patch start when the patch is active.
  void Continue(Step next);
  void PatchStart();
  void AfterPatchStart();

  // ---- patch for loader version 1.10 ----
  bool LoadPatch();
  void PatchLoadPc();
  void PatchAfterLoadPc();
  void PatchPassword();
  void PatchPasswordAccepted();
  void PatchWrite();
  void PatchAfterWrite();
  void PatchReadBack();
  void PatchCompare(const std::uint8_t* frame, std::size_t size);

  void OffsetThen(std::uint8_t offset, Step next);
  bool ReadImageFile(const std::string& fileName);
  void ShowError();
  void Progress();
  void ReportLine(const std::string& text);

  update::ProcedureHost& form_;
  int language_;
  platform::ProgressBar* bar_;
  kernel::TDelay& delay_;
  update::DeviceRecord* record_;
  comport::TComPort* port_;
  kernel::EventQueue& queue_;

  std::vector<ImageBlock> image_;
  int lastIndex_ = -1;
  int upperIndex_ = -1;
  std::vector<ImageBlock> patch_;
  int patchLast_ = -1;

  int variant_ = 0;
  bool askFirst_ = false;
  bool failed_ = false, done_ = false;
  bool loaderMode_ = false;
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
  Step offsetNext_ = nullptr;
  Step patchNext_ = nullptr;
  std::int32_t timer_ = 0;
  int status_ = 0;
  int errorCode_ = 0;
  std::string imageError_;

  // Continuation slots and the retry history.
  FrameStep onFrame_ = nullptr;
  Step onAck_ = nullptr;
  Step onNak_ = nullptr;
  std::array<Step, 3> history_{};

  static constexpr std::size_t kReceiveCap = 1000;
  std::vector<std::uint8_t> rx_;
};

}  // namespace loaders
