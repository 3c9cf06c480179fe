#include "loaders/Bsl_unit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "comport/Comport.h"
#include "kernel/Delay.h"
#include "kernel/Timer.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/Infotext.h"
#include "procedure/InstrumentCommands.h"
#include "procedure/Notifications.h"

namespace loaders {

using Step = T_BSL430::Step;

// The loader dialogue. A frame step sets its status code, sends its frame and fills the
// continuation slots: the step after an acknowledgement (ACK), the step to repeat after a
// refusal (NAK) and the step that takes a reply frame (frame); Keep leaves a slot as it is.
// A decision sends nothing: it looks at the run (and the reply frame) and goes on.
// Between two frames the link layer sends a synchronisation (SendSync), whose
// acknowledgement leads to the step named there.
//
//   version -> password -> [patch for 1.10] -> [baud change for 1.60+] -> erase loop
//   -> writes (top segment erased just before the first write into it) -> read-backs -> start
constexpr T_BSL430::StepDef T_BSL430::kSteps[] = {
    // step                     name            status          frame / decision                      ACK                        NAK                     frame
    {Step::None, "", 0, nullptr, nullptr, Step::Keep, Step::Keep, Step::Keep},
    {Step::Keep, "", 0, nullptr, nullptr, Step::Keep, Step::Keep, Step::Keep},
    {Step::Resync, "Sync", StSync, nullptr, nullptr, Step::Keep, Step::Keep, Step::Keep},
    {Step::ReadVersion,   "Version",        StVersion,      &T_BSL430::VersionFrame, nullptr,       Step::Keep,                Step::VersionRefused,   Step::VersionReply},
    {Step::ReadInfo,      "Read",           StVersion,      &T_BSL430::InfoFrame, nullptr,          Step::Keep,                Step::VersionRefused,   Step::VersionReply},
    {Step::Password,      "Password",       StPassword,     &T_BSL430::PasswordFrame, nullptr,      Step::AfterPassword,       Step::Password,         Step::Keep},
    {Step::ErasedPassword, "Password of an erased device", StPassword, &T_BSL430::ErasedPasswordFrame, nullptr, Step::ResumeAfterPassword, Step::ErasedPassword, Step::Keep},
    {Step::ChangeBaud,    "Baud change",    StBaud,         &T_BSL430::BaudFrame, nullptr,          Step::AfterBaud,           Step::ChangeBaud,       Step::Keep},
    {Step::SetOffset,     "Memory offset",  StMemoryOffset, &T_BSL430::OffsetFrame, nullptr,        Step::AfterOffset,         Step::SetOffset,        Step::Keep},
    {Step::Erase,         "Erase",          StErase,        &T_BSL430::EraseFrame, nullptr,         Step::EraseLoop,           Step::Erase,            Step::Keep},
    // information memory: a refused erase (a locked segment) is skipped, not repeated
    {Step::EraseInfo,     "Erase",          StErase,        &T_BSL430::EraseInfoFrame, nullptr,     Step::EraseLoop,           Step::EraseLoop,        Step::Keep},
    {Step::EraseTop,      "Erase top",      StEraseTop,     &T_BSL430::EraseTopFrame, nullptr,      Step::TopErased,           Step::WriteBlock,       Step::Keep},
    {Step::WriteBlock,    "Write",          StWrite,        &T_BSL430::WriteFrame, nullptr,         Step::AfterWrite,          Step::WriteBlock,       Step::Keep},
    {Step::ReadBack,      "Read back",      StReadBack,     &T_BSL430::ReadBackFrame, nullptr,      Step::Keep,                Step::ReadBack,         Step::CompareBlock},
    {Step::StartFirmware, "Start",          StStart,        &T_BSL430::StartFrame, nullptr,         Step::Finished,            Step::StartFirmware,    Step::Keep},
    {Step::PatchLoadPc,   "Patch load PC",  StPatchLoadPc,  &T_BSL430::PatchLoadPcFrame, nullptr,   Step::PatchAfterLoadPc,    Step::PatchLoadPc,      Step::Keep},
    {Step::PatchPassword, "Password",       StPassword,     &T_BSL430::PasswordFrame, nullptr,      Step::PatchPasswordAccepted, Step::PatchPassword,  Step::Keep},
    {Step::PatchWrite,    "Patch write",    StPatchWrite,   &T_BSL430::PatchWriteFrame, nullptr,    Step::PatchAfterWrite,     Step::PatchWrite,       Step::Keep},
    {Step::PatchReadBack, "Patch read back", StPatchReadBack, &T_BSL430::PatchReadBackFrame, nullptr, Step::Keep,              Step::PatchReadBack,    Step::PatchCompare},
    {Step::PatchStart,    "Patch start",    StPatchStart,   &T_BSL430::PatchStartFrame, nullptr,    Step::AfterPatchStart,     Step::PatchStart,       Step::Keep},
    // decisions
    {Step::VersionRefused, "", 0, nullptr, &T_BSL430::VersionRefused, Step::Keep, Step::Keep, Step::Keep},
    {Step::VersionReply, "", 0, nullptr, &T_BSL430::VersionReply, Step::Keep, Step::Keep, Step::Keep},
    {Step::AfterPassword, "", 0, nullptr, &T_BSL430::AfterPassword, Step::Keep, Step::Keep, Step::Keep},
    {Step::AfterBaud, "", 0, nullptr, &T_BSL430::AfterBaud, Step::Keep, Step::Keep, Step::Keep},
    {Step::AfterOffset, "", 0, nullptr, &T_BSL430::AfterOffset, Step::Keep, Step::Keep, Step::Keep},
    {Step::EraseLoop, "", 0, nullptr, &T_BSL430::EraseLoop, Step::Keep, Step::Keep, Step::Keep},
    {Step::TopErased, "", 0, nullptr, &T_BSL430::TopErased, Step::Keep, Step::Keep, Step::Keep},
    {Step::AfterWrite, "", 0, nullptr, &T_BSL430::AfterWrite, Step::Keep, Step::Keep, Step::Keep},
    {Step::CompareBlock, "", 0, nullptr, &T_BSL430::CompareBlock, Step::Keep, Step::Keep, Step::Keep},
    {Step::Finished, "", 0, nullptr, &T_BSL430::Finished, Step::Keep, Step::Keep, Step::Keep},
    {Step::PatchAfterLoadPc, "", 0, nullptr, &T_BSL430::PatchAfterLoadPc, Step::Keep, Step::Keep, Step::Keep},
    {Step::PatchPasswordAccepted, "", 0, nullptr, &T_BSL430::PatchPasswordAccepted, Step::Keep, Step::Keep, Step::Keep},
    {Step::PatchAfterWrite, "", 0, nullptr, &T_BSL430::PatchAfterWrite, Step::Keep, Step::Keep, Step::Keep},
    {Step::PatchCompare, "", 0, nullptr, &T_BSL430::PatchCompare, Step::Keep, Step::Keep, Step::Keep},
    {Step::AfterPatchStart, "", 0, nullptr, &T_BSL430::AfterPatchStart, Step::Keep, Step::Keep, Step::Keep},
    {Step::ResumeAfterPassword, "", 0, nullptr, &T_BSL430::ResumeAfterPassword, Step::Keep, Step::Keep, Step::Keep},
};

namespace {

constexpr std::uint32_t kDialogueTimeoutMs = 15000;
constexpr std::uint32_t kLoaderTimeoutMs = 5000;

std::uint32_t BlockEnd(const ImageBlock& b) {
  return static_cast<std::uint32_t>(b.address) + static_cast<std::uint32_t>(b.DataLength());
}

// The reply frame of a read-back carries exactly the block's data.
bool BlockMatches(const ImageBlock& b, const std::vector<std::uint8_t>& frame) {
  std::size_t n = static_cast<std::size_t>(b.DataLength());
  return frame.size() >= n + 6 && std::memcmp(bsl::ReplyData(frame.data()), b.data, n) == 0;
}

// Commands whose first two bytes after the lengths are an address.
bool Addressed(std::uint8_t command) {
  return command == bsl::kCmdWriteBlock || command == bsl::kCmdReadBlock ||
         command == bsl::kCmdEraseSegment || command == bsl::kCmdLoadPc;
}

}  // namespace

const T_BSL430::StepDef& T_BSL430::Def(Step step) {
  static_assert(procedure::IndexedByStep(kSteps, Step::Count), "one table row per step, in step order");
  return kSteps[static_cast<std::size_t>(step)];
}

T_BSL430::T_BSL430(const procedure::ProcedureContext& context) : ctx_(context) {}

T_BSL430::~T_BSL430() {
  ctx_.queue.RemoveHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

bool T_BSL430::SendCommand(const std::string& text) {
  if (ctx_.port) ctx_.port->Write(text.c_str(), -1, false);
  ctx_.host.LogLine(text);
  return true;
}

void T_BSL430::Trace(const std::string& line) { ctx_.host.LogLine(line); }

bool T_BSL430::ReadImageFile(const std::string& fileName) {
  image_.assign(kImageBlocks, ImageBlock{});
  std::string path = platform::files::ResolveOrJoin(ctx_.host.PackageFolder(), fileName);
  ImageReadResult r = LoadImageFile(path, kImageBufferBytes, image_.data(), kImageBlocks, upperIndex_);
  if (!r.ok()) {
    imageError_ = ImageErrorText(r, fileName, ctx_.language);
    return false;
  }
  lastIndex_ = r.lastIndex;
  return true;
}

bool T_BSL430::Run(int variant, const std::string& fileName, bool askFirst, bool syncFirst) {
  variant_ = std::clamp(variant, 0, 2);
  askFirst_ = askFirst;
  platform::ProgressBar* bar = ctx_.progressBar;
  if (bar) bar->SetPosition(0);
  failed_ = done_ = false;
  errorCode_ = 0;
  if (!ReadImageFile(fileName)) {
    // Without an image there is nothing to program: the run ends before the instrument is
    // touched, and the reason is shown with the loader's error.
    ctx_.host.ReportText(imageError_);
    status_ = 0;
    failed_ = true;
    ShowError();
    return false;
  }
  if (bar) bar->SetMax(4 * (lastIndex_ + 1) + 8);
  // A loader 1.10 needs the patch; whether this one is such a loader shows only in its
  // dialogue, so a patch that the package has is read (and a damaged one refused) now,
  // before anything is sent.
  {
    std::string path = platform::files::ResolveOrJoin(platform::files::CurrentFolder(), "Patch.TXT");
    patchRead_ = LoadPatch();
    if (!patchRead_ && platform::files::Exists(path)) {
      ctx_.host.ReportText(patchError_);
      status_ = 0;
      failed_ = true;
      ShowError();
      return false;
    }
  }

  ctx_.queue.AddHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  if (ctx_.port) ctx_.port->SaveLastV24Parameter();
  timer_ = ctx_.host.Timers().StartTimer(kDialogueTimeoutMs);
  ctx_.host.SetTitleProgress("", -1.0f);

  if (ctx_.record.laboratoryFlag) {
    if (ctx_.record.loaderVectorKnown) {
      vectorWord_ = static_cast<std::uint16_t>(ctx_.record.loaderVectorWord);
      vectorKnown_ = true;
    } else {
      vectorWord_ = DefaultVectorWordDirect();
    }
    EnterLoader(syncFirst);
  } else {
    ackAwaited_ = true;
    SendCommand(procedure::command::CommandMode);
  }

  switch (procedure::PumpUntilDone(ctx_, done_)) {
    case procedure::PumpEnd::PortGone: FailWith(procedure::Text(procedure::MsgPortGone, ctx_.language), status_); break;
    case procedure::PumpEnd::Closed: Fail(status_); break;
    case procedure::PumpEnd::Done: break;
  }

  ctx_.host.SetTitleProgress("", -1.0f);
  procedure::RestoreLine(ctx_, !failed_);
  ctx_.delay.DelayTime(1500, false);
  if (bar) bar->SetPosition(0);
  ctx_.queue.RemoveHandler(kernel::Bind<&T_BSL430::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
  if (failed_) ShowError();
  return !failed_;
}

void T_BSL430::ShowError() {
  int code = status_;
  const bool refused = code == StLoaderRefused;
  if (!refused && (code < 1 || code > 15)) code = StUnknown;
  errorCode_ = code;
  const char* text = procedure::Text(
      refused ? procedure::MsgBootloaderNotAvailable : procedure::MsgErrorInBootloader, ctx_.language);
  if (platform::HasApp())
    platform::App().MessageBox(text, "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

void T_BSL430::FailWith(const std::string& text, int status) {
  ctx_.host.ReportText(text);
  Fail(status);
}

void T_BSL430::Fail(int status) {
  status_ = status;
  failed_ = true;
  done_ = true;
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

// ---- instrument dialogue ----

std::string T_BSL430::DefaultVectorText() const {
  int which = 2;
  if (upperIndex_ >= 0 || ctx_.record.processorType == 62007) which = 1;
  else if (ctx_.record.processorType == 61749 && ctx_.record.noSensorFlag) which = 3;
  return bsl::DefaultVectorText(which);
}

std::uint16_t T_BSL430::DefaultVectorWordDirect() const {
  int which = 2;
  if (upperIndex_ >= 0 || ctx_.record.pcbNumber.find("23774") != std::string::npos ||
      ctx_.record.processorType == 62007)
    which = 1;
  return bsl::DefaultVectorWord(which);
}

kernel::Event T_BSL430::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  namespace reply = procedure::reply;
  if (ev.kind == kernel::EvTimer) {
    if (timer_ == 0 || ev.code != timer_) return ev;
    if (loaderMode_)
      OnTimeout();
    else
      Fail(status_);  // the instrument did not answer within 15 s
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify) return ev;
  switch (ev.code) {
    case reply::LoaderVector:
    case reply::LoaderVectorAlt: {
      const char* text = reinterpret_cast<const char*>(ev.payload);
      if (!loaderMode_ && vectorAwaited_) {
        vectorAwaited_ = false;
        TakeVector(text ? text : "");
      }
      return EventQueue::ConsumeEvent(ev);
    }
    case procedure::NotifyRxData:
      // Bytes on another port are none of this loader's business.
      if (ctx_.port && ev.payload != ctx_.port->ComNumber()) return ev;
      ctx_.host.Timers().RestartTimer(timer_);
      if (!loaderMode_) return ev;
      OnReceive();
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyAck:
      if (loaderMode_ || !ackAwaited_) return EventQueue::ConsumeEvent(ev);
      ackAwaited_ = false;
      if (ctx_.record.noSensorFlag) {
        variant_ = 2;
        askFirst_ = false;
      }
      ctx_.delay.DelayTime(1000, false);
      if (askFirst_) {
        vectorAwaited_ = true;
        SendCommand(procedure::command::VectorRequest[variant_]);
      } else
        TakeVector(DefaultVectorText());
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyEcho:
      if (vectorKnown_ && !loaderMode_ && echoAwaited_) {
        echoAwaited_ = false;
        EnterLoader(true);
      }
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyError:
      if (!loaderMode_) Fail(StLoaderRefused);
      return EventQueue::ConsumeEvent(ev);
    default:
      return ev;
  }
}

void T_BSL430::TakeVector(const std::string& text) {
  const std::size_t digits = text.find_first_not_of(' ');
  vectorWord_ = digits == std::string::npos ? 0 : procedure::ParseHexWord(std::string_view(text).substr(digits));
  vectorKnown_ = true;
  ctx_.record.loaderVectorWord = vectorWord_;
  ctx_.record.loaderVectorKnown = true;
  echoAwaited_ = true;
  SendCommand(procedure::command::LoaderStart[variant_]);
}

void T_BSL430::EnterLoader(bool syncFirst) {
  loaderMode_ = true;
  timer_ = ctx_.host.Timers().StopTimer(timer_);
  if (ctx_.port) {
    ctx_.port->ChangeV24Parameter(comport::B__9600, comport::S_1, comport::Even, false);
    ctx_.port->ChangeHandShake(comport::NoHandshake);
  }
  ctx_.delay.DelayTime(8000, false);
  rx_.clear();
  if (ctx_.port) {
    // What the instrument said before it entered its loader is of no use to the loader dialogue.
    char discard[kReceiveCap];
    while (ctx_.port->ReadAvailable(discard, sizeof discard) == static_cast<long>(sizeof discard)) {
    }
  }
  timer_ = ctx_.host.Timers().StartTimer(kLoaderTimeoutMs);
  if (syncFirst)
    SendSync(Step::ReadVersion);
  else
    Go(Step::ReadVersion);
}

// ---- link layer ----

void T_BSL430::Go(Step step) {
  if (step == Step::None || step == Step::Keep || done_) return;
  if (step == Step::Resync) {
    Resync();
    return;
  }
  const StepDef& d = Def(step);
  if (d.decide) {
    (this->*d.decide)();
    return;
  }
  std::optional<bsl::Frame> frame = (this->*d.frame)();
  if (!frame) return;  // the step went on with another one (an offset change, the top erase)
  status_ = d.status;
  sentStep_ = step;
  if (d.onAck != Step::Keep) slots_.ack = d.onAck;
  if (d.onNak != Step::Keep) slots_.nak = d.onNak;
  if (d.onFrame != Step::Keep) slots_.frame = d.onFrame;
  sent_ = d.name;
  if (frame->size >= 6 && Addressed(frame->bytes[1])) {
    std::uint32_t address = static_cast<std::uint32_t>(frame->bytes[4] | (frame->bytes[5] << 8));
    if (offsetMode_ == 1) address += 0x10000;
    sent_ += " @" + procedure::HexWord(address);
  }
  Trace(sent_);
  Send(*frame);
}

void T_BSL430::SendSync(Step next, Step nakOfSync) {
  if (synced_) {
    synced_ = false;
    Go(next);
    return;
  }
  slots_ = {next, nakOfSync, Step::None};
  Resync();
}

void T_BSL430::Resync() {
  status_ = StSync;
  sent_ = "Sync";
  syncPending_ = true;
  synced_ = false;
  const char sync = static_cast<char>(bsl::kSync);
  if (ctx_.port) ctx_.port->Write(&sync, 1, false);
}

void T_BSL430::Send(const bsl::Frame& f) {
  // A frame that could not be built (a block too long for the loader) ends the run.
  if (f.size == 0) {
    Fail(status_);
    return;
  }
  syncPending_ = synced_ = false;
  if (ctx_.port) ctx_.port->Write(reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size), false);
}

void T_BSL430::Progress() {
  platform::ProgressBar* bar = ctx_.progressBar;
  if (!bar) return;
  bar->SetPosition(bar->Position() + 1);
  float max = static_cast<float>(std::max(1, bar->Max()));
  ctx_.host.SetTitleProgress("", static_cast<float>(bar->Position()) / max * 100.0f);
}

void T_BSL430::OnReceive() {
  if (!ctx_.port) return;
  // What has arrived; more bytes bring another notification.
  char buf[kReceiveCap];
  for (;;) {
    long n = ctx_.port->ReadAvailable(buf, sizeof buf);
    if (n <= 0) break;
    rx_.insert(rx_.end(), buf, buf + n);
    if (static_cast<std::size_t>(n) < sizeof buf) break;
  }
  // Bytes that match nothing are dropped from the front rather than growing the buffer.
  if (rx_.size() > 2 * kReceiveCap) rx_.erase(rx_.begin(), rx_.end() - static_cast<std::ptrdiff_t>(kReceiveCap));

  std::ptrdiff_t header = -1, ack = -1, nak = -1;
  for (std::size_t i = 0; i < rx_.size(); ++i) {
    std::uint8_t b = rx_[i];
    if (b == bsl::kHeader) {
      header = static_cast<std::ptrdiff_t>(i);
      break;
    }
    if (b == bsl::kAck) ack = static_cast<std::ptrdiff_t>(i);
    if (b == bsl::kNak || b == bsl::kNakAlt) nak = static_cast<std::ptrdiff_t>(i);
  }

  if (header >= 0 && rx_.size() - static_cast<std::size_t>(header) > 3) {
    const std::uint8_t* p = rx_.data() + header;
    std::size_t avail = rx_.size() - static_cast<std::size_t>(header);
    std::size_t size = bsl::ReplyFrameSize(p, avail);
    if (size > 0 && avail >= size) {
      frame_.assign(p, p + size);
      rx_.erase(rx_.begin() + header, rx_.begin() + header + static_cast<std::ptrdiff_t>(size));
      if (bsl::VerifyReplyFrame(frame_.data(), frame_.size())) {
        Progress();
        if (Protected(sentStep_)) protectedOk_ = true;
        Go(slots_.frame);
      }
      // The ACK and NAK found before the header still stand: their positions are unchanged.
    }
  }
  if (done_) return;

  if (ack >= 0) {
    Progress();
    // A refusal behind the acknowledgement belongs to nothing any more.
    if (nak > ack) {
      rx_.erase(rx_.begin() + nak);
      nak = -1;
    }
    rx_.erase(rx_.begin() + ack);
    if (nak > ack) --nak;
    synced_ = syncPending_;
    if (!syncPending_ && Protected(sentStep_) && !protectedOk_) {
      protectedOk_ = true;
      if (erasedPasswordTried_ && !erasedPasswordReported_) {
        erasedPasswordReported_ = true;
        ctx_.host.ReportText(procedure::Text(procedure::MsgFlashErasedByPassword, ctx_.language));
      }
    }
    syncPending_ = false;
    Go(slots_.ack);
    if (done_) return;
  }
  if (nak >= 0) {
    Progress();
    if (static_cast<std::size_t>(nak) < rx_.size()) rx_.erase(rx_.begin() + nak);
    syncPending_ = synced_ = false;
    NakRule(false);
  }
}

void T_BSL430::NakRule(bool timeout) {
  Step step = slots_.nak;
  if (step == Step::None) return;
  if (!timeout && !protectedOk_ && passwordAccepted_ && !erasedPasswordTried_ && Protected(sentStep_)) {
    Trace(sent_ + " refused: the loader is locked, the password of an erased device follows");
    erasedPasswordTried_ = true;
    resume_ = step;
    SendSync(Step::ErasedPassword);
    return;
  }
  std::size_t repeat = history_.Take(step);
  Trace(procedure::RepeatTrace(sent_, timeout ? "silent" : "refused", repeat, kRepeatLimit));
  if (repeat == 0) {
    Fail(status_);
    return;
  }
  if (step == Step::EraseLoop)
    Go(Step::EraseLoop);
  else if (step == Step::Resync && !timeout)
    // A refused synchronisation is sent again for the same next step; a new synchronisation
    // leading to the resender would never reach that step.
    Resync();
  else if (timeout)
    SendSync(slots_.ack);
  else
    SendSync(step);
}

void T_BSL430::OnTimeout() {
  rx_.clear();
  syncPending_ = synced_ = false;
  if (sentStep_ == Step::ChangeBaud && slots_.ack == Step::AfterBaud) {
    // The loader changes its rate right after its acknowledgement: when that was lost, it
    // listens at the new rate already, where a synchronisation reaches it.
    Trace(sent_ + " silent: on at the new rate");
    sentStep_ = Step::None;
    AfterBaud();
    return;
  }
  if (sentStep_ == Step::StartFirmware && slots_.ack == Step::Finished) {
    // Every block was read back equal; a loader that took the start runs the firmware and
    // answers nothing any more. Whether it did shows when the instrument says it is back.
    Trace(sent_ + " silent: the firmware is taken as started");
    Finished();
    return;
  }
  NakRule(true);
}

// ---- frames of the steps ----

std::optional<bsl::Frame> T_BSL430::VersionFrame() { return bsl::VersionFrame(); }

// Loaders without the version command tell identifier and version from their ROM.
std::optional<bsl::Frame> T_BSL430::InfoFrame() { return bsl::ReadBlockFrame(0x0FF0, 14); }

std::optional<bsl::Frame> T_BSL430::PasswordFrame() {
  protectedOk_ = false;
  return bsl::PasswordFrame(vectorWord_);
}

// An erased vector table: 32 bytes 0xFF.
std::optional<bsl::Frame> T_BSL430::ErasedPasswordFrame() {
  protectedOk_ = false;
  return bsl::PasswordFrame(0xFFFF);
}

bool T_BSL430::Protected(Step step) {
  switch (step) {
    case Step::ReadInfo: case Step::SetOffset: case Step::Erase: case Step::EraseInfo:
    case Step::EraseTop: case Step::WriteBlock: case Step::ReadBack: case Step::StartFirmware:
    case Step::PatchLoadPc: case Step::PatchWrite: case Step::PatchReadBack: case Step::PatchStart:
      return true;
    default:
      return false;
  }
}

void T_BSL430::ResumeAfterPassword() {
  vectorWord_ = 0xFFFF;  // a later password (the patch's) is the erased device's too
  SendSync(resume_);
}

std::optional<bsl::Frame> T_BSL430::BaudFrame() {
  const bsl::ClockBytes clock = bsl::ClockFor38400(processorId_);
  return bsl::ChangeBaudFrame(clock.d1, clock.d2);
}

std::optional<bsl::Frame> T_BSL430::OffsetFrame() { return bsl::MemoryOffsetFrame(memoryOffset_); }

std::optional<bsl::Frame> T_BSL430::EraseFrame() {
  if (eraseAddress_ > 0xFFFF && offsetMode_ == 0) {
    OffsetThen(1, Step::Erase);
    return std::nullopt;
  }
  if (eraseAddress_ < 0x10000 && offsetMode_ == 1) {
    eraseAddress_ -= 0x200;
    OffsetThen(0, Step::Erase);
    return std::nullopt;
  }
  if (eraseAddress_ < 0x1200) {
    Go(Step::EraseInfo);
    return std::nullopt;
  }
  std::uint32_t a = offsetMode_ == 1 ? eraseAddress_ - 0x10000 : eraseAddress_;
  return bsl::EraseSegmentFrame(static_cast<std::uint16_t>(a));
}

std::optional<bsl::Frame> T_BSL430::EraseInfoFrame() {
  return bsl::EraseSegmentFrame(static_cast<std::uint16_t>(eraseAddress_));
}

std::optional<bsl::Frame> T_BSL430::EraseTopFrame() { return bsl::EraseSegmentFrame(0xFFFF); }

std::optional<bsl::Frame> T_BSL430::WriteFrame() {
  ImageBlock& b = image_[static_cast<std::size_t>(blockIndex_)];
  if (upperIndex_ < 0) {
    if (!vectorSegmentErased_ && BlockEnd(b) >= 0xFE00) {
      if (offsetMode_ == 1)
        OffsetThen(0, Step::WriteBlock);
      else
        Go(Step::EraseTop);
      return std::nullopt;
    }
  } else if (b.length == 0) {
    // The marker between the upper blocks and the top segment: back to the lower 64 KB,
    // erase the top segment, then go on with the block behind the marker.
    if (offsetMode_ == 1)
      OffsetThen(0, Step::WriteBlock);
    else if (!vectorSegmentErased_)
      Go(Step::EraseTop);
    else
      Go(Step::AfterWrite);
    return std::nullopt;
  }
  if (offsetMode_ != OffsetFor(blockIndex_)) {
    OffsetThen(OffsetFor(blockIndex_), Step::WriteBlock);
    return std::nullopt;
  }
  return bsl::WriteBlockFrame(b.address, b.data, static_cast<std::size_t>(b.DataLength()));
}

std::optional<bsl::Frame> T_BSL430::ReadBackFrame() {
  ImageBlock& b = image_[static_cast<std::size_t>(blockIndex_)];
  if (b.length == 0) {
    if (offsetMode_ == 1) {
      OffsetThen(0, Step::ReadBack);
    } else if (blockIndex_ < lastIndex_) {
      ++blockIndex_;
      Go(Step::ReadBack);
    } else {
      blockIndex_ = 0;
      SendSync(Step::StartFirmware);
    }
    return std::nullopt;
  }
  if (offsetMode_ != OffsetFor(blockIndex_)) {
    OffsetThen(OffsetFor(blockIndex_), Step::ReadBack);
    return std::nullopt;
  }
  // The acknowledgement slot keeps the step of the synchronisation before: a time-out asks
  // for the same block again.
  return bsl::ReadBlockFrame(b.address, static_cast<std::size_t>(b.DataLength()));
}

std::optional<bsl::Frame> T_BSL430::StartFrame() {
  ctx_.delay.DelayTime(1000, false);
  // The reset vector: the word at data offset length - 8 of the last block (0xFFFE when the
  // last block ends at 0xFFFF).
  const ImageBlock& last = image_[static_cast<std::size_t>(lastIndex_)];
  int off = last.length - 8;
  std::uint16_t pc = off >= 0 && off + 1 < static_cast<int>(kBlockDataMax)
                         ? static_cast<std::uint16_t>(last.data[off] | (last.data[off + 1] << 8))
                         : 0;
  return bsl::LoadPcFrame(pc);
}

std::optional<bsl::Frame> T_BSL430::PatchLoadPcFrame() { return bsl::LoadPcFrame(0x0C22); }

std::optional<bsl::Frame> T_BSL430::PatchWriteFrame() {
  const ImageBlock& b = patch_[static_cast<std::size_t>(patchIndex_)];
  return bsl::WriteBlockFrame(b.address, b.data, static_cast<std::size_t>(b.DataLength()));
}

std::optional<bsl::Frame> T_BSL430::PatchReadBackFrame() {
  const ImageBlock& b = patch_[static_cast<std::size_t>(patchIndex_)];
  return bsl::ReadBlockFrame(b.address, static_cast<std::size_t>(b.DataLength()));
}

std::optional<bsl::Frame> T_BSL430::PatchStartFrame() { return bsl::LoadPcFrame(patch_[0].address); }

// ---- decisions ----

void T_BSL430::VersionRefused() {
  Go(passwordAccepted_ ? Step::ReadInfo : Step::Password);
}

void T_BSL430::VersionReply() {
  // Identifier and version are data bytes 0, 1, 10 and 11: header, 12 data bytes, checksum.
  if (frame_.size() < 4 + 12 + 2) {
    // Too short to hold the identifier and the version: wait for the time-out to repeat.
    return;
  }
  const std::uint8_t* d = bsl::ReplyData(frame_.data());
  versionKnown_ = true;
  processorId_ = static_cast<std::uint16_t>(d[0] * 256 + d[1]);
  char text[16];
  std::snprintf(text, sizeof text, "%X.%2X", d[10], d[11]);
  // The version bytes are read as the text they print as; a hexadecimal 'E' there would make
  // it a number with an exponent ("1.E8"), far beyond any version: the number ends before it.
  if (char* e = std::strpbrk(text, "Ee")) *e = '\0';
  loaderVersion_ = static_cast<int>(std::atof(text) * 100.0 + 0.0001);
  if (ctx_.record.noSensorFlag) {
    std::string file = ctx_.host.ProgDefFileFor(processorId_);
    if (file.size() > 4 && (file.find(".txt") != std::string::npos || file.find(".TXT") != std::string::npos)) {
      if (file.back() == '@') {
        file.pop_back();
        ctx_.record.secondFileAtFlag = true;
      }
      // This processor's own image replaces the caller's; without it nothing may be
      // programmed into a processor the package assigns another file to.
      if (!ReadImageFile(file)) {
        FailWith(imageError_, StVersion);
        return;
      }
    }
    if (processorId_ == 62503) vectorWord_ = bsl::DefaultVectorWord(2);
  }
  SendSync(Step::Password);
}

void T_BSL430::AfterPassword() {
  passwordAccepted_ = true;
  if (!versionKnown_) {
    SendSync(Step::ReadVersion);
    return;
  }
  std::uint32_t eraseStart = 0xFC00;
  int index = std::min(variant_, 1);
  std::int32_t fe = ctx_.record.flashErase[static_cast<std::size_t>(index + 1)];
  if (fe > 0) eraseStart = static_cast<std::uint32_t>(fe);
  atFlag_ = index == 0 ? ctx_.record.firstFileAtFlag : ctx_.record.secondFileAtFlag;
  eraseAddress_ = eraseStart;
  if (platform::ProgressBar* bar = ctx_.progressBar) {
    int second = lastIndex_ >= 1 ? image_[1].address : 0;
    int add = ((static_cast<int>(eraseStart) - second) / 512 + 2) * 2;
    bar->SetMax(bar->Max() + std::max(0, add));
  }
  if (loaderVersion_ == 110) {
    // Nothing is erased yet: a loader that needs the missing patch ends the run here.
    if (!patchRead_) {
      FailWith(patchError_, StPatchLoadPc);
      return;
    }
    if (ctx_.progressBar) ctx_.progressBar->SetMax(8 * (lastIndex_ + 1) + 4 * (patchLast_ + 1) + 254);
    SendSync(Step::PatchLoadPc);
  } else if (loaderVersion_ >= 160 && !atFlag_) {
    SendSync(Step::ChangeBaud);
  } else {
    SendSync(Step::Erase);
  }
}

void T_BSL430::AfterBaud() {
  ctx_.delay.DelayTime(1000, false);
  if (ctx_.port) ctx_.port->ChangeV24Parameter(comport::B_38400, comport::S_1, comport::Even, false);
  ctx_.delay.DelayTime(1000, false);
  SendSync(Step::Erase);
}

// Where the erase loop stops before the information segment: the image's second block (its
// first block is then the information memory), or a main-flash block that lies in a segment
// below it, which must not be written unerased.
std::uint32_t T_BSL430::EraseFloor() const {
  std::uint32_t floor = lastIndex_ >= 1 ? image_[1].address : 0;
  const int lowerEnd = upperIndex_ >= 0 ? upperIndex_ : lastIndex_ + 1;
  for (int i = 0; i < lowerEnd; ++i) {
    const ImageBlock& b = image_[static_cast<std::size_t>(i)];
    if (b.length == 0 || b.address < 0x1100 || b.address >= 0xFE00) continue;
    if ((b.address & ~0x1FFu) < (floor & ~0x1FFu)) floor = b.address;
  }
  return floor;
}

std::uint8_t T_BSL430::OffsetFor(int index) const {
  if (upperIndex_ < 0 || index < upperIndex_) return 0;
  for (int i = upperIndex_; i <= index && i <= lastIndex_; ++i)
    if (image_[static_cast<std::size_t>(i)].length == 0) return 0;  // at or behind the marker
  return 1;
}

void T_BSL430::OffsetThen(std::uint8_t offset, Step next) {
  memoryOffset_ = offset;
  offsetNext_ = next;
  Go(Step::SetOffset);
}

void T_BSL430::AfterOffset() {
  offsetMode_ = memoryOffset_;
  Go(offsetNext_);
}

void T_BSL430::EraseLoop() {
  eraseAddress_ -= 0x200;
  if (eraseAddress_ > 0x0E80) {
    std::uint32_t second = EraseFloor();
    // The segment that holds the start of the image's second block is erased at that
    // address (an image starting at 0x3100 erases 0x3100 after 0x3200); below it only the
    // information segment at 0x1080 follows.
    if (eraseAddress_ < second && eraseAddress_ >= (second & ~0x1FFu)) eraseAddress_ = second;
    if (eraseAddress_ < second) eraseAddress_ = 0x1080;
    SendSync(Step::Erase, Step::Erase);  // a refused synchronisation also repeats the erase
    return;
  }
  blockIndex_ = 0;
  Continue(Step::WriteBlock);
}

void T_BSL430::TopErased() {
  vectorSegmentErased_ = true;
  // After the marker the next block is the first of the top segment.
  if (upperIndex_ >= 0 && image_[static_cast<std::size_t>(blockIndex_)].length == 0 &&
      blockIndex_ < lastIndex_)
    ++blockIndex_;
  Continue(Step::WriteBlock);
}

void T_BSL430::AfterWrite() {
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Continue(Step::WriteBlock);
  } else {
    blockIndex_ = 0;
    Continue(Step::ReadBack);
  }
}

void T_BSL430::CompareBlock() {
  if (!BlockMatches(image_[static_cast<std::size_t>(blockIndex_)], frame_)) {
    Trace(sent_ + " differs");
    Fail(StReadBack);
    return;
  }
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Continue(Step::ReadBack);
  } else {
    blockIndex_ = 0;
    SendSync(Step::StartFirmware);
  }
}

void T_BSL430::Finished() {
  loaderMode_ = false;
  ctx_.host.SetTitleProgress("", 100.0f);
  done_ = true;
}

void T_BSL430::Continue(Step next) {
  if (patchActive_) {
    patchNext_ = next;
    SendSync(Step::PatchStart);
  } else {
    SendSync(next);
  }
}

void T_BSL430::AfterPatchStart() { SendSync(patchNext_); }

// ---- the patch of loader version 1.10 ----

bool T_BSL430::LoadPatch() {
  patch_.assign(kPatchBlocks, ImageBlock{});
  int upper = -1;
  std::string path = platform::files::ResolveOrJoin(platform::files::CurrentFolder(), "Patch.TXT");
  ImageReadResult r = LoadImageFile(path, kPatchBufferBytes, patch_.data(), kPatchBlocks, upper);
  if (!r.ok()) {
    patchError_ = ImageErrorText(r, "Patch.TXT", ctx_.language);
    return false;
  }
  patchLast_ = r.lastIndex;
  return true;
}

void T_BSL430::PatchAfterLoadPc() { SendSync(Step::PatchPassword); }

// The loader wants its password again once the program counter was loaded.
void T_BSL430::PatchPasswordAccepted() {
  patchIndex_ = 0;
  SendSync(Step::PatchWrite);
}

void T_BSL430::PatchAfterWrite() {
  if (patchIndex_ < patchLast_) {
    ++patchIndex_;
    SendSync(Step::PatchWrite);
  } else {
    patchIndex_ = 0;
    SendSync(Step::PatchReadBack);
  }
}

void T_BSL430::PatchCompare() {
  if (!BlockMatches(patch_[static_cast<std::size_t>(patchIndex_)], frame_)) {
    Trace(sent_ + " differs");
    Fail(StPatchReadBack);
    return;
  }
  if (patchIndex_ < patchLast_) {
    ++patchIndex_;
    SendSync(Step::PatchReadBack);
  } else {
    patchActive_ = true;
    SendSync(Step::Erase);
  }
}

}  // namespace loaders
