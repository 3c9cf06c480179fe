#include "loaders/Bsl_54xx_unit.h"

#include <algorithm>
#include <cstdio>
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

using Step = T_BSL_54XX_430::Step;
using T = T_BSL_54XX_430;
namespace b5 = bsl54xx;

// The loader dialogue. A frame step sets its status code, sends its frame and fills all four
// continuation slots: the step after the acknowledgement byte (ACK), after the success message
// (message 0), after a data reply, and the step to repeat after a refusal or a silence (NAK).
// A decision sends nothing: it looks at the run (and the data reply) and goes on.
//
//   password -> version -> identifier -> [baud change to 38400] -> erase loop
//   -> writes (top segment erased just before the first write into it) -> read-backs -> start
constexpr T::StepDef T::kSteps[] = {
    // step                       name          status       frame / decision           ACK                success             data                 NAK
    {Step::None, "", 0, nullptr, nullptr, Step::None, Step::None, Step::None, Step::None},
    {Step::Password,       "Password",    StPassword,  &T::PasswordFrame, nullptr,    Step::None,        Step::AfterPassword, Step::None,         Step::Password},
    {Step::ReadVersion,    "Version",     StVersion,   &T::VersionFrame, nullptr,     Step::None,        Step::None,          Step::VersionReply,  Step::ReadVersion},
    {Step::ReadIdentifier, "Identifier",  StVersion,   &T::IdentifierFrame, nullptr,  Step::None,        Step::None,          Step::IdentifierReply, Step::ReadIdentifier},
    {Step::ChangeBaud,     "Baud change", StBaud,      &T::BaudFrame, nullptr,        Step::AfterBaud,   Step::None,          Step::None,          Step::ChangeBaud},
    {Step::Erase,          "Erase",       StErase,     &T::EraseFrame, nullptr,       Step::None,        Step::EraseLoop,     Step::None,          Step::Erase},
    // a refused top erase goes back to the write, which asks for the erase again
    {Step::EraseTop,       "Erase top",   StEraseTop,  &T::EraseTopFrame, nullptr,    Step::None,        Step::TopErased,     Step::None,          Step::WriteBlock},
    {Step::WriteBlock,     "Write",       StWrite,     &T::WriteFrame, nullptr,       Step::None,        Step::AfterWrite,    Step::None,          Step::WriteBlock},
    {Step::ReadBack,       "Read back",   StReadBack,  &T::ReadBackFrame, nullptr,    Step::None,        Step::None,          Step::CompareBlock,  Step::ReadBack},
    // load PC is answered by the ACK alone: the loader jumps into the firmware
    {Step::StartFirmware,  "Start",       StStart,     &T::StartFrame, nullptr,       Step::Finished,    Step::None,          Step::None,          Step::StartFirmware},
    // decisions
    {Step::AfterPassword, "", 0, nullptr, &T::AfterPassword, Step::None, Step::None, Step::None, Step::None},
    {Step::VersionReply, "", 0, nullptr, &T::VersionReply, Step::None, Step::None, Step::None, Step::None},
    {Step::IdentifierReply, "", 0, nullptr, &T::IdentifierReply, Step::None, Step::None, Step::None, Step::None},
    {Step::AfterBaud, "", 0, nullptr, &T::AfterBaud, Step::None, Step::None, Step::None, Step::None},
    {Step::EraseLoop, "", 0, nullptr, &T::EraseLoop, Step::None, Step::None, Step::None, Step::None},
    {Step::TopErased, "", 0, nullptr, &T::TopErased, Step::None, Step::None, Step::None, Step::None},
    {Step::AfterWrite, "", 0, nullptr, &T::AfterWrite, Step::None, Step::None, Step::None, Step::None},
    {Step::CompareBlock, "", 0, nullptr, &T::CompareBlock, Step::None, Step::None, Step::None, Step::None},
    {Step::Finished, "", 0, nullptr, &T::Finished, Step::None, Step::None, Step::None, Step::None},
};

namespace {

constexpr std::uint32_t kDialogueTimeoutMs = 15000;
constexpr std::uint32_t kLoaderTimeoutMs = 5000;
constexpr std::uint32_t kSegment = 0x200;
constexpr std::uint32_t kTopSegment = 0xFE00;
constexpr std::uint32_t kIdentifierAddress = 0x1A04;  // device ID in the device descriptor
constexpr std::uint16_t kIdentifierBytes = 4;

std::uint32_t BlockEnd(const ImageBlock54xx& b) {
  return b.address + static_cast<std::uint32_t>(b.DataLength());
}

bool InTopSegment(std::uint32_t address) { return address >= kTopSegment && address <= 0xFFFF; }

// The erase loop's next address: one segment down, past the top segment.
std::uint32_t NextErase(std::uint32_t address) {
  address -= kSegment;
  if (address == kTopSegment) address -= kSegment;
  return address;
}
// Below the floor (or wrapped below 0): the writes begin.
bool EraseDone(std::uint32_t address, std::uint32_t floor) { return address < floor || address > 0xFFFFFF; }

}  // namespace

const T::StepDef& T::Def(Step step) {
  static_assert(procedure::IndexedByStep(kSteps, Step::Count), "one table row per step, in step order");
  return kSteps[static_cast<std::size_t>(step)];
}

T::T_BSL_54XX_430(const procedure::ProcedureContext& context) : ctx_(context) {}

T::~T_BSL_54XX_430() {
  ctx_.queue.RemoveHandler(kernel::Bind<&T::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

bool T::SendCommand(const std::string& text) {
  if (ctx_.port) ctx_.port->Write(text.c_str(), -1, false);
  ctx_.host.LogLine(text);
  return true;
}

void T::Trace(const std::string& line) { ctx_.host.LogLine(line); }

std::optional<std::uint8_t> T::ImageByte(std::uint32_t address) const {
  for (int i = 0; i <= lastIndex_; ++i) {
    const ImageBlock54xx& b = image_[static_cast<std::size_t>(i)];
    if (address >= b.address && address < BlockEnd(b)) return b.data[address - b.address];
  }
  return std::nullopt;
}

bool T::ReadImageFile(const std::string& fileName) {
  image_.assign(kImageBlocks, ImageBlock54xx{});
  const std::string path = platform::files::ResolveOrJoin(ctx_.host.PackageFolder(), fileName);
  const ImageReadResult r = LoadImage54xxFile(path, kImage54xxBufferBytes, image_.data(), kImageBlocks,
                                              vectorIndex_, vectorCount_);
  if (!r.ok()) {
    imageError_ = ImageErrorText(r, fileName, ctx_.language);
    return false;
  }
  lastIndex_ = r.lastIndex;
  // The firmware is started at its reset vector; an image without one cannot be started.
  const auto lo = ImageByte(0xFFFE), hi = ImageByte(0xFFFF);
  if (!lo || !hi) {
    imageError_ = procedure::FillX(procedure::Text(procedure::MsgImageWithoutResetVector, ctx_.language), fileName);
    return false;
  }
  resetVector_ = static_cast<std::uint16_t>(*lo | (*hi << 8));
  return true;
}

bool T::Run(int variant, const std::string& fileName, bool askFirst, bool /*syncFirst*/) {
  variant_ = std::clamp(variant, 0, 2);
  askFirst_ = askFirst;
  platform::ProgressBar* bar = ctx_.progressBar;
  if (bar) bar->SetPosition(0);
  failed_ = done_ = false;
  errorCode_ = 0;
  if (!ReadImageFile(fileName)) {
    // Nothing is sent without a usable image: the reason goes to the log, the loader's box follows.
    ctx_.host.ReportText(imageError_);
    status_ = 0;
    failed_ = true;
    ShowError();
    return false;
  }
  if (bar) bar->SetMax(4 * (lastIndex_ + 1) + 8);

  ctx_.queue.AddHandler(kernel::Bind<&T::Handler>(), this);
  if (ctx_.port) ctx_.port->SaveLastV24Parameter();
  timer_ = ctx_.host.Timers().StartTimer(kDialogueTimeoutMs);
  ctx_.host.SetTitleProgress("", -1.0f);

  if (ctx_.record.laboratoryFlag) {
    // Already in the loader. A vector remembered from an earlier run in this session is the
    // reset vector; otherwise the default one.
    vectorKnown_ = ctx_.record.loaderVectorKnown;
    password_ = b5::DefaultPassword(vectorKnown_ ? static_cast<std::uint16_t>(ctx_.record.loaderVectorWord)
                                                 : b5::kDefaultLastWord);
    EnterLoader();
  } else {
    ackAwaited_ = true;
    SendCommand(procedure::command::CommandMode);
  }

  switch (procedure::PumpUntilDone(ctx_, done_)) {
    case procedure::PumpEnd::PortGone:
      ctx_.host.ReportText(procedure::Text(procedure::MsgPortGone, ctx_.language));
      Fail(status_);
      break;
    case procedure::PumpEnd::Closed: Fail(status_); break;
    case procedure::PumpEnd::Done: break;
  }

  if (failed_) ReturnLoaderTo9600();
  ctx_.host.SetTitleProgress("", -1.0f);
  procedure::RestoreLine(ctx_, !failed_);
  ctx_.delay.DelayTime(1500, false);
  if (bar) bar->SetPosition(0);
  ctx_.queue.RemoveHandler(kernel::Bind<&T::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
  if (failed_) ShowError();
  return !failed_;
}

void T::ShowError() {
  int code = status_;
  const bool refused = code == StLoaderRefused;
  if (!refused && (code < 1 || code > 15)) code = StUnknown;
  errorCode_ = code;
  const char* text = procedure::Text(
      refused ? procedure::MsgBootloaderNotAvailable : procedure::MsgErrorInBootloader, ctx_.language);
  if (platform::HasApp())
    platform::App().MessageBox(text, "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

void T::Fail(int status) {
  status_ = status;
  failed_ = true;
  done_ = true;
  slots_ = {};
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

// After a failure at 38400 the loader keeps that rate until the instrument is reset; the
// retry on OK starts at 9600, so the loader is sent back there. Its ACK still comes at 38400.
void T::ReturnLoaderTo9600() {
  if (!baudChanged_ || !ctx_.port || !ctx_.port->IsOpen() || ctx_.port->Gone()) return;
  Trace("Baud change to 9600 for the next attempt");
  Send(b5::ChangeBaudFrame(b5::kBaud9600));
  ctx_.delay.DelayTime(100, false);
  baudChanged_ = false;
}

// ---- instrument dialogue ----

kernel::Event T::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  namespace reply = procedure::reply;
  if (ev.kind == kernel::EvTimer) {
    if (timer_ == 0 || ev.code != timer_) return ev;
    if (loaderMode_)
      OnTimeout();
    else
      Fail(status_);  // the instrument did not answer within 15 s (status 0, shown as 16)
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify) return ev;
  switch (ev.code) {
    case reply::LoaderVector:
    case reply::LoaderVectorAlt: {
      const char* text = reinterpret_cast<const char*>(ev.payload);
      if (!loaderMode_ && !done_ && vectorAwaited_) {
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
      // Only the answer to "A.1000" leads on; a surplus "!" does not.
      if (loaderMode_ || done_ || !ackAwaited_) return EventQueue::ConsumeEvent(ev);
      ackAwaited_ = false;
      // Without a sensor the variant changes; whether the vector is asked for does not.
      if (ctx_.record.noSensorFlag) variant_ = 2;
      ctx_.delay.DelayTime(1000, false);
      if (askFirst_) {
        vectorAwaited_ = true;
        SendCommand(procedure::command::VectorRequest[variant_]);
      } else {
        TakeVector(b5::kDefaultVectorText);
      }
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyEcho:
      if (vectorKnown_ && !loaderMode_ && !done_ && echoAwaited_) {
        echoAwaited_ = false;
        EnterLoader();
      }
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyError:
      if (!loaderMode_) Fail(StLoaderRefused);
      return EventQueue::ConsumeEvent(ev);
    default:
      return ev;
  }
}

void T::TakeVector(const std::string& text) {
  password_ = b5::PasswordFromVectorText(text);
  vectorKnown_ = true;
  // The reset vector is what a later run in this session rebuilds the password from.
  ctx_.record.loaderVectorWord = password_[b5::kPasswordWords - 1];
  ctx_.record.loaderVectorKnown = true;
  echoAwaited_ = true;
  SendCommand(procedure::command::LoaderStart[variant_]);
}

void T::EnterLoader() {
  loaderMode_ = true;
  timer_ = ctx_.host.Timers().StopTimer(timer_);
  if (ctx_.port) {
    ctx_.port->ChangeV24Parameter(comport::B__9600, comport::S_1, comport::Even, false);
    ctx_.port->ChangeHandShake(comport::NoHandshake);
  }
  ctx_.delay.DelayTime(4000, false);
  rx_.clear();
  if (ctx_.port) {
    // What the instrument said before it entered its loader is of no use to the loader dialogue.
    char discard[kReceiveCap];
    while (ctx_.port->ReadAvailable(discard, sizeof discard) == static_cast<long>(sizeof discard)) {
    }
  }
  timer_ = ctx_.host.Timers().StartTimer(kLoaderTimeoutMs);
  Go(Step::Password);
}

// ---- link layer ----

void T::Go(Step step) {
  if (step == Step::None || done_) return;
  const StepDef& d = Def(step);
  if (d.decide) {
    (this->*d.decide)();
    return;
  }
  std::optional<b5::Frame> frame = (this->*d.frame)();
  if (!frame) return;  // the step went on with another one (the top erase before a write)
  status_ = d.status;
  slots_ = {d.onAck, d.onSuccess, d.onData, d.onNak};
  sent_ = d.name;
  const std::uint8_t command = frame->size > 3 ? frame->bytes[3] : 0;
  if (frame->size >= 9 && command != b5::kCmdPassword)
    sent_ += " @" + procedure::HexWord(static_cast<std::uint32_t>(frame->bytes[4] | (frame->bytes[5] << 8) | (frame->bytes[6] << 16)));
  Trace(sent_);
  Send(*frame);
}

void T::Send(const b5::Frame& f) {
  // A frame that could not be built (a block too long for the loader) ends the run.
  if (f.size == 0) {
    Fail(status_);
    return;
  }
  if (ctx_.port) ctx_.port->Write(reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size), false);
}

void T::Progress() {
  platform::ProgressBar* bar = ctx_.progressBar;
  if (!bar) return;
  bar->SetPosition(bar->Position() + 1);
  const float max = static_cast<float>(std::max(1, bar->Max()));
  ctx_.host.SetTitleProgress("", static_cast<float>(bar->Position()) / max * 100.0f);
}

void T::OnReceive() {
  if (!ctx_.port) return;
  // What has arrived, behind what is held (at most an unfinished reply frame); more bytes
  // bring another notification.
  char buf[kReceiveCap];
  for (;;) {
    const std::size_t room = kReceiveCap - std::min(kReceiveCap, rx_.size());
    if (room == 0) break;
    const long n = ctx_.port->ReadAvailable(buf, static_cast<unsigned long>(room));
    if (n <= 0) break;
    rx_.insert(rx_.end(), buf, buf + n);
    if (static_cast<std::size_t>(n) < room) break;
  }

  // Everything is taken in the order it came, each byte once.
  std::size_t stray = 0;
  while (!rx_.empty() && !done_) {
    const b5::Front front = b5::ReadFront(rx_.data(), rx_.size());
    if (front.answer == b5::Answer::Incomplete) break;
    std::vector<std::uint8_t> taken(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(front.size));
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(front.size));
    switch (front.answer) {
      case b5::Answer::Ack:
        Progress();
        Go(slots_.ack);
        break;
      case b5::Answer::Nak: {
        Progress();
        char why[32];
        std::snprintf(why, sizeof why, "refused (%02X)", taken[0]);
        RetryRule(why);
        break;
      }
      case b5::Answer::Reply:
        Progress();
        OnReply(taken.data(), taken.size());
        break;
      case b5::Answer::BadReply:
        // The loader has finished its answer; only its CRC is wrong: ask again.
        RetryRule("answered with a bad CRC");
        break;
      default:
        ++stray;
        break;
    }
  }
  if (stray) Trace(std::to_string(stray) + " stray bytes from the loader dropped");
  // An unfinished frame never outgrows the buffer: it is at most a reply of the loader's
  // buffer size. Anything larger is not a frame.
  if (rx_.size() >= kReceiveCap) rx_.clear();
}

void T::OnReply(const std::uint8_t* frame, std::size_t size) {
  const std::uint8_t* core = b5::ReplyCore(frame);
  const std::size_t n = b5::ReplyCoreSize(frame);
  if (core[0] == b5::kDataReply) {
    reply_.assign(core + 1, core + n);
    Go(slots_.data);
  } else if (core[0] == b5::kMessageReply && n >= 2) {
    OnMessage(core[1]);
  } else {
    Trace("Reply " + std::to_string(size) + " bytes of unknown kind ignored");
  }
}

void T::OnMessage(std::uint8_t code) {
  if (code == b5::kMsgOk) {
    Go(slots_.success);
    return;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%s: message %u", sent_.c_str(), static_cast<unsigned>(code));
  Trace(text);
  if (code == b5::kMsgPasswordError && status_ == StPassword && !erasedPassword_) {
    // The loader mass-erased its flash on the wrong password: the same password can never
    // succeed again, an erased device's can.
    ctx_.host.ReportText(procedure::Text(procedure::MsgFlashErasedByPassword, ctx_.language));
    erasedPassword_ = true;
    password_ = b5::ErasedPassword();
    Go(Step::Password);
    return;
  }
  if (code == b5::kMsgWriteCheckFailed || code == b5::kMsgFlashFailBit || code == b5::kMsgVoltageChange ||
      code == b5::kMsgPasswordError) {
    char what[32];
    std::snprintf(what, sizeof what, "%u (status %d)", static_cast<unsigned>(code), status_);
    ctx_.host.ReportText(procedure::FillX(procedure::Text(procedure::MsgLoaderReportsError, ctx_.language), what));
  }
  // The step is repeated at the next timeout, under the retry rule.
}

void T::RetryRule(const char* why) {
  const Step step = slots_.nak;
  if (step == Step::None) return;
  const std::size_t repeat = history_.Take(step);
  Trace(procedure::RepeatTrace(sent_, why, repeat, kRepeatLimit));
  if (repeat == 0) {
    Fail(status_);
    return;
  }
  Go(step);
}

void T::OnTimeout() {
  // Whatever is held belongs to nothing the repeated step will be answered with.
  rx_.clear();
  RetryRule("silent");
}

// ---- frames of the steps ----

std::optional<b5::Frame> T::PasswordFrame() { return b5::PasswordFrame(password_); }

std::optional<b5::Frame> T::VersionFrame() { return b5::VersionFrame(); }

std::optional<b5::Frame> T::IdentifierFrame() { return b5::ReadMemoryFrame(kIdentifierAddress, kIdentifierBytes); }

std::optional<b5::Frame> T::BaudFrame() { return b5::ChangeBaudFrame(b5::kBaud38400); }

std::optional<b5::Frame> T::EraseFrame() { return b5::EraseSegmentFrame(eraseAddress_); }

// The segment holding 0xFFFF: the vector table.
std::optional<b5::Frame> T::EraseTopFrame() { return b5::EraseSegmentFrame(0xFFFF); }

std::optional<b5::Frame> T::WriteFrame() {
  const ImageBlock54xx& b = image_[static_cast<std::size_t>(blockIndex_)];
  if (!topErased_ && BlockEnd(b) >= kTopSegment && b.address < 0x10000) {
    Go(Step::EraseTop);
    return std::nullopt;
  }
  return b5::WriteBlockFrame(b.address, b.data, static_cast<std::size_t>(b.DataLength()));
}

std::optional<b5::Frame> T::ReadBackFrame() {
  const ImageBlock54xx& b = image_[static_cast<std::size_t>(blockIndex_)];
  return b5::ReadMemoryFrame(b.address, static_cast<std::uint16_t>(b.DataLength() & 0xFF));
}

std::optional<b5::Frame> T::StartFrame() {
  ctx_.delay.DelayTime(3000, false);
  return b5::LoadPcFrame(resetVector_);
}

// ---- decisions ----

void T::AfterPassword() { Go(Step::ReadVersion); }

void T::VersionReply() {
  // Vendor, command interpreter, API, peripheral interface.
  if (reply_.size() >= 4) {
    char text[48];
    std::snprintf(text, sizeof text, "Loader version %X.%X%X", reply_[1], reply_[2], reply_[3]);
    Trace(text);
  }
  Go(Step::ReadIdentifier);
}

void T::IdentifierReply() {
  std::string id = "Identifier";
  for (std::uint8_t b : reply_) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", b);
    id += hex;
  }
  Trace(id);
  PlanErase();
  const int index = std::min(variant_, 1);
  atFlag_ = index == 0 ? ctx_.record.firstFileAtFlag : ctx_.record.secondFileAtFlag;
  Go(atFlag_ ? Step::Erase : Step::ChangeBaud);
}

// The erase runs from the erase start down, one 512-byte segment at a time, to the segment
// that holds the image's lowest byte in main flash; the top segment is left for the write that
// reaches it. The start is the package's value (0xFC00 when it has none), raised when the image
// has bytes in a segment above it, so that no write lands on flash that was not erased.
// Information memory (below kMainFloor) is never erased: it holds the instrument's own data,
// and its segment A is locked; image bytes there are written as they are.
void T::PlanErase() {
  std::uint32_t start = 0xFC00;
  const int index = std::min(variant_, 1);
  const std::int32_t fe = ctx_.record.flashErase[static_cast<std::size_t>(index + 1)];
  if (fe > 0) start = static_cast<std::uint32_t>(fe);
  std::uint32_t lowest = 0xFFFFFFFF, highest = 0;
  for (int i = 0; i <= lastIndex_; ++i) {
    const ImageBlock54xx& b = image_[static_cast<std::size_t>(i)];
    if (b.DataLength() == 0 || b.address < kMainFloor || InTopSegment(b.address)) continue;
    lowest = std::min(lowest, b.address);
    std::uint32_t last = BlockEnd(b) - 1;
    if (InTopSegment(last)) last = kTopSegment - 1;
    highest = std::max(highest, last);
  }
  if (lowest == 0xFFFFFFFF) {
    // Nothing to erase but the top segment: the loop's one request goes to the erase start.
    lowest = start;
  } else if ((highest & ~(kSegment - 1)) > start) {
    start = highest & ~(kSegment - 1);
    Trace("Erase start raised to " + procedure::HexWord(start) + " for the image");
  }
  eraseAddress_ = start;
  eraseFloor_ = lowest & ~(kSegment - 1);
  if (platform::ProgressBar* bar = ctx_.progressBar) {
    // Each erase, the top segment's too, is answered by an ACK and a message.
    int erases = 2;
    for (std::uint32_t a = NextErase(start); !EraseDone(a, eraseFloor_); a = NextErase(a)) ++erases;
    bar->SetMax(bar->Max() + 2 * erases);
  }
}

void T::AfterBaud() {
  // The loader switched right after its ACK.
  baudChanged_ = true;
  if (ctx_.port) ctx_.port->ChangeV24Parameter(comport::B_38400, comport::S_1, comport::Even, false);
  ctx_.delay.DelayTime(1000, false);
  Go(Step::Erase);
}

void T::EraseLoop() {
  eraseAddress_ = NextErase(eraseAddress_);
  if (EraseDone(eraseAddress_, eraseFloor_)) {
    blockIndex_ = 0;
    Go(Step::WriteBlock);
    return;
  }
  Go(Step::Erase);
}

void T::TopErased() {
  topErased_ = true;
  Go(Step::WriteBlock);
}

void T::AfterWrite() {
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Go(Step::WriteBlock);
  } else {
    blockIndex_ = 0;
    Go(Step::ReadBack);
  }
}

void T::CompareBlock() {
  const ImageBlock54xx& b = image_[static_cast<std::size_t>(blockIndex_)];
  const std::size_t n = static_cast<std::size_t>(b.DataLength());
  if (reply_.size() != n || (n > 0 && std::memcmp(reply_.data(), b.data, n) != 0)) {
    Trace(sent_ + " differs");
    Fail(StReadBack);
    return;
  }
  if (blockIndex_ < lastIndex_) {
    ++blockIndex_;
    Go(Step::ReadBack);
  } else {
    blockIndex_ = 0;
    Go(Step::StartFirmware);
  }
}

void T::Finished() {
  loaderMode_ = false;
  ctx_.host.SetTitleProgress("", 100.0f);
  done_ = true;
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

}  // namespace loaders
