#include "loaders/Hexloadunit.h"

#include <cstring>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Library.h"

namespace loaders {

namespace {

// The thread whose sequence is running: the library's progress callback carries no context.
platform::Mutex gCurrentMutex;
THexLoad* gCurrent = nullptr;

template <typename Fn>
Fn Entry(const std::function<void*(const char*)>& lookup, const char* decorated, const char* plain) {
  void* p = lookup(decorated);
  if (!p) p = lookup(plain);
  return reinterpret_cast<Fn>(p);
}

}  // namespace

M16Entry ResolveM16Entry(const std::function<void*(const char* name)>& lookup) {
  M16Entry e;
  e.init = Entry<decltype(e.init)>(lookup, "?M16Upd_Init@@YAHH@Z", "M16Upd_Init");
  e.isBtlActive = Entry<decltype(e.isBtlActive)>(lookup, "?M16Upd_IsBTLActive@@YAHXZ", "M16Upd_IsBTLActive");
  e.clear = Entry<decltype(e.clear)>(lookup, "?M16Upd_Clear@@YAHXZ", "M16Upd_Clear");
  e.program = Entry<decltype(e.program)>(lookup, "?M16Upd_Program@@YAHPB_WHP6AXH@Z@Z", "M16Upd_Program");
  e.makeValid = Entry<decltype(e.makeValid)>(lookup, "?M16Upd_MakeValid@@YAHXZ", "M16Upd_MakeValid");
  e.exitAndStartApplication = Entry<decltype(e.exitAndStartApplication)>(
      lookup, "?M16Upd_ExitAndStartApplication@@YAHXZ", "M16Upd_ExitAndStartApplication");
  e.deinit = Entry<decltype(e.deinit)>(lookup, "?M16Upd_Deinit@@YAHXZ", "M16Upd_Deinit");
  return e;
}

std::string HexLoadStepText(HexLoadStep step) {
  switch (step) {
    case HexLoadStep::None: return "";
    case HexLoadStep::FileName: return "file name longer than 79 characters";
    case HexLoadStep::InitMissing: return "M16Upd_Init (missing)";
    case HexLoadStep::Init: return "M16Upd_Init";
    case HexLoadStep::BootLoaderCheck: return "M16Upd_IsBTLActive";
    case HexLoadStep::Clear: return "M16Upd_Clear";
    case HexLoadStep::Program: return "M16Upd_Program";
    case HexLoadStep::MakeValid: return "M16Upd_MakeValid";
  }
  return "?";
}

THexLoad::THexLoad(bool createSuspended, const procedure::ProcedureContext& context) : ctx_(context) {
  if (auto path = platform::FindLibraryFor(ctx_.host.PackageFolder(), kLibraryName)) {
    library_ = platform::Library::Load(*path);
    if (library_) {
      libraryPath_ = *path;
      entry_ = ResolveM16Entry([this](const char* name) { return library_->Symbol(name); });
    }
  }
  target_ = std::make_unique<ProgressTarget>(*this);
  platform::RegisterActivitySource(this);
  resumed_ = !createSuspended;
  thread_.Start([this] { Execute(); });
}

THexLoad::~THexLoad() {
  {
    platform::Guard g(mutex_);
    terminate_ = true;
    resumed_ = true;
  }
  wake_.NotifyAll();
  thread_.Join();
  platform::UnregisterActivitySource(this);
}

void THexLoad::Start(const char* fileName, int comNumber) {
  platform::Guard g(mutex_);
  const char* name = fileName ? fileName : "";
  std::size_t n = std::strlen(name);
  if (n >= kFileNameCap) {
    // A shortened name would be another file: the sequence does not run.
    failed_ = HexLoadStep::FileName;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) fileName_[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
  fileName_[n] = 0;
  comNumber_ = comNumber;
  failed_ = HexLoadStep::None;
  // Busy from the start request on: a caller that asks before the thread has run must not
  // take the sequence for finished.
  busy_ = true;
  resumed_ = true;
  wake_.NotifyAll();
}

bool THexLoad::IsBusy() {
  platform::Guard g(mutex_);
  return busy_;
}

HexLoadStep THexLoad::FailedStep() {
  platform::Guard g(mutex_);
  return failed_;
}

void THexLoad::Execute() {
  for (;;) {
    {
      platform::Guard g(mutex_);
      wake_.Wait(mutex_, [this] { return resumed_; });
      if (terminate_) return;
      busy_ = true;
    }
    HexLoadStep failed = RunSequence();
    platform::Guard g(mutex_);
    failed_ = failed;
    busy_ = false;
    resumed_ = false;  // suspended again until the next start
  }
}

HexLoadStep THexLoad::RunSequence() {
  {
    platform::Guard g(gCurrentMutex);
    gCurrent = this;
  }
  struct Clear {
    ~Clear() {
      platform::Guard g(gCurrentMutex);
      gCurrent = nullptr;
    }
  } clearCurrent;

  const M16Entry& e = entry_;
  Post(HexLoadMsgStep, 1);
  if (!e.init) return HexLoadStep::InitMissing;
  HexLoadStep failed = HexLoadStep::None;
  Post(HexLoadMsgStep, 2);
  if (!e.init(comNumber_)) {
    failed = HexLoadStep::Init;
  } else {
    Post(HexLoadMsgStep, 3);
    bool active = e.isBtlActive && e.isBtlActive() != 0;
    if (!active && e.isBtlActive) {
      // The boot loader may still be starting: one more look after 200 ms.
      platform::SleepFor(200);
      active = e.isBtlActive() != 0;
    }
    if (!active) {
      failed = HexLoadStep::BootLoaderCheck;
    } else {
      Post(HexLoadMsgStep, 4);
      if (!e.clear || !e.clear()) {
        failed = HexLoadStep::Clear;
      } else {
        Post(HexLoadMsgStep, 5);
        if (!e.program || !e.program(fileName_, 0, &THexLoad::Progress)) {
          failed = HexLoadStep::Program;
        } else {
          // The application is started whatever the marking said; an image that is not
          // marked valid is still a failed update.
          bool valid = e.makeValid && e.makeValid() != 0;
          if (e.exitAndStartApplication) e.exitAndStartApplication();
          if (!valid) failed = HexLoadStep::MakeValid;
        }
      }
    }
  }
  if (e.deinit) e.deinit();
  return failed;
}

void THexLoad::Progress(int percent) {
  platform::Guard g(gCurrentMutex);
  if (gCurrent) gCurrent->Post(HexLoadMsgProgress, percent);
}

void THexLoad::Post(std::uint32_t message, int value) {
  if (platform::HasApp()) platform::App().PostMessage(target_.get(), message, value, 0);
}

void THexLoad::ProgressTarget::HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t) {
  platform::ProgressBar* bar = owner_.ctx_.progressBar;
  const int value = static_cast<int>(wparam);
  if (message == HexLoadMsgStep) {
    if (bar) bar->SetPosition(bar->Position() + 1);
    owner_.ctx_.host.SetTitleProgress("", static_cast<float>(value));
  } else if (message == HexLoadMsgProgress) {
    // The bar (maximum 105) runs from 5 to 105, the title from 5 to 100.
    if (bar) bar->SetPosition(value + 5);
    owner_.ctx_.host.SetTitleProgress("", static_cast<float>(value) * 0.01f * 95.0f + 5.0f);
  }
}

}  // namespace loaders
