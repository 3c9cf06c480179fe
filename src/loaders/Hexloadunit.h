#pragma once
// THexLoad: the worker thread that programs an instrument through the maker's updater
// library (Windows "ZANM16Updater.dll"; here a build of it for this system, looked for as
// "ZANM16Updater.so" in the package folder). The library opens the COM port itself and drives
// the instrument's boot loader; this thread runs its fixed call sequence for one image file
// and reports the progress to the window's thread.
//
// Call order: Init(COM) -> IsBTLActive (once more after 200 ms) -> Clear -> Program(file, 0,
// progress) -> MakeValid -> ExitAndStartApplication -> Deinit. A step that returns 0 skips
// the rest; Deinit is called whenever Init was.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Components.h"
#include "platform/Headless.h"
#include "platform/Thread.h"
#include "procedure/Procedure.h"

namespace platform {
class Library;
}

namespace loaders {

// The library's entry points (cdecl, int results, non-zero means success).
struct M16Entry {
  int (*init)(int comNumber) = nullptr;
  int (*isBtlActive)() = nullptr;
  int (*clear)() = nullptr;
  int (*program)(const wchar_t* file, int zero, void (*progress)(int percent)) = nullptr;
  int (*makeValid)() = nullptr;
  int (*exitAndStartApplication)() = nullptr;
  int (*deinit)() = nullptr;
};

// Each entry point by its decorated Windows name first, then by its plain name
// ("M16Upd_Init", ...), so that a build for this system may export either.
M16Entry ResolveM16Entry(const std::function<void*(const char* name)>& lookup);

// Which step of the sequence failed.
enum class HexLoadStep {
  None,            // every step succeeded
  FileName,        // the image file name does not fit the library's buffer
  InitMissing,     // the library has no M16Upd_Init: nothing was done
  Init,
  BootLoaderCheck, // M16Upd_IsBTLActive returned 0 twice (or is missing)
  Clear,
  Program,
  MakeValid,
};
// The step as the log names it ("M16Upd_Clear", "M16Upd_Init (missing)").
std::string HexLoadStepText(HexLoadStep step);

// Window messages of the worker's progress (posted to the thread's own message target).
inline constexpr std::uint32_t HexLoadMsgStep = 35010;      // wparam: step 1..5
inline constexpr std::uint32_t HexLoadMsgProgress = 35011;  // wparam: percent done

class THexLoad : private platform::ActivitySource {
 public:
  static constexpr const char* kLibraryName = "ZANM16Updater.dll";
  // The library takes the image file name in a buffer of 80 wide characters.
  static constexpr std::size_t kFileNameCap = 80;

  // Loads the library from the package folder and looks up its entry points. The thread
  // waits for Start when createSuspended (the way the caller uses it).
  THexLoad(bool createSuspended, const procedure::ProcedureContext& context);
  // Asks the thread to end, wakes it and waits for it.
  ~THexLoad() override;
  THexLoad(const THexLoad&) = delete;
  THexLoad& operator=(const THexLoad&) = delete;

  bool IsLoaded() const { return library_ != nullptr; }
  const std::string& LibraryPath() const { return libraryPath_; }
  // Copies the file name (one wide character per byte) and the COM number (1-based) and
  // runs the sequence once. The thread is busy from here on until the sequence is over.
  void Start(const char* fileName, int comNumber);
  bool IsBusy();
  // The outcome of the last sequence.
  HexLoadStep FailedStep();

  // The progress callback handed to the library (any thread).
  static void Progress(int percent);

 private:
  // Receives the worker's progress on the window's thread.
  class ProgressTarget : public platform::Form {
   public:
    explicit ProgressTarget(THexLoad& owner) : platform::Form(nullptr, "HexLoadProgress"), owner_(owner) {}
    void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) override;

   private:
    THexLoad& owner_;
  };

  void Execute();
  HexLoadStep RunSequence();
  void Post(std::uint32_t message, int value);
  bool Quiet() override { return !IsBusy(); }

  procedure::ProcedureContext ctx_;
  std::unique_ptr<platform::Library> library_;
  std::string libraryPath_;
  M16Entry entry_;
  wchar_t fileName_[kFileNameCap] = {};
  int comNumber_ = 0;
  std::unique_ptr<ProgressTarget> target_;

  platform::Mutex mutex_;
  platform::CondVar wake_;
  bool resumed_ = false;
  bool terminate_ = false;
  bool busy_ = false;
  HexLoadStep failed_ = HexLoadStep::None;
  platform::Thread thread_;
};

}  // namespace loaders
