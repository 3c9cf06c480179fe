#include "loaders/Emf_loadunit.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "kernel/Delay.h"
#include "kernel/Timer.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/Infotext.h"
#include "procedure/InstrumentCommands.h"
#include "procedure/Notifications.h"

namespace loaders {

using Step = T_EMFLoader::Step;

// The loader dialogue. A step that sends writes its command (switching the line first where
// it says so) and waits for its answer; the answer leads to the next step. When the answer
// limit passes first, the run goes on with the silence step or fails; "?" leads to the refusal
// step or ends the run. Decisions send nothing: they look at the answer and go on. Throughout,
// the supervision ends the run when nothing at all comes from the instrument for 10 s; the
// answer limit also ends a wait that only other talk (an instrument sending its readings)
// would keep alive. During the transfer the limit is the sender's, per packet.
//
//   "A.1000" -> start command -> [restart] -> rate switch, "A.2051" -> "u", XMODEM transfer,
//   EOT -> "c" -> checksum reply equal to the image's -> "r"
// An instrument that does not answer "A.1000" may sit in its loader from an earlier run: its
// version is asked at the loader's rate.
constexpr T_EMFLoader::StepDef T_EMFLoader::kSteps[] = {
    // step                name                status       send / decision                             awaits            next                answer ms       silence       "?"
    {Step::None,           "",                 0,           nullptr, nullptr,                             Answer::None,     Step::None,           0,             Step::None,   Step::None},
    {Step::Wake,           "Command mode",     StWake,      &T_EMFLoader::SendWake, nullptr,              Answer::Ack,      Step::StartLoader,    kWakeAnswerMs, Step::Entry,  Step::Entry},
    {Step::StartLoader,    "Loader start",     StStart,     &T_EMFLoader::SendStart, nullptr,             Answer::Echo,     Step::Echoed,         kAnswerLimitMs, Step::None,  Step::None},
    {Step::Restart,        "Loader restart",   StRestart,   &T_EMFLoader::SendRestart, nullptr,           Answer::Echo,     Step::Echoed,         kAnswerLimitMs, Step::None,  Step::None},
    {Step::Entry,          "Loader version",   StVersion,   &T_EMFLoader::SendVersionQuery, nullptr,      Answer::Version,  Step::VersionReply,   kAnswerLimitMs, Step::None,  Step::None},
    {Step::Upload,         "Upload",           StUpload,    &T_EMFLoader::SendUpload, nullptr,            Answer::Transfer, Step::Close,          kAnswerLimitMs, Step::None,  Step::None},
    {Step::Close,          "Checksum",         StChecksum,  &T_EMFLoader::SendChecksumCommand, nullptr,   Answer::Checksum, Step::CompareChecksum, kAnswerLimitMs, Step::None, Step::None},
    {Step::Launch,         "Start",            StRun,       &T_EMFLoader::SendRun, nullptr,               Answer::None,     Step::Finished,       0,             Step::None,   Step::None},
    // decisions
    {Step::Echoed,         "",                 0,           nullptr, &T_EMFLoader::Echoed,                Answer::None,     Step::None,           0,             Step::None,   Step::None},
    {Step::VersionReply,   "",                 0,           nullptr, &T_EMFLoader::VersionReply,          Answer::None,     Step::None,           0,             Step::None,   Step::None},
    {Step::CompareChecksum, "",                0,           nullptr, &T_EMFLoader::CompareChecksum,       Answer::None,     Step::None,           0,             Step::None,   Step::None},
    {Step::Finished,       "",                 0,           nullptr, &T_EMFLoader::Finished,              Answer::None,     Step::None,           0,             Step::None,   Step::None},
};

namespace {

const char* BaudText(comport::BaudTag baud) { return baud == comport::B__9600 ? "9600" : "115200"; }

}  // namespace

const T_EMFLoader::StepDef& T_EMFLoader::Def(Step step) {
  static_assert(procedure::IndexedByStep(kSteps, Step::Count), "one table row per step, in step order");
  return kSteps[static_cast<std::size_t>(step)];
}

T_EMFLoader::T_EMFLoader(const procedure::ProcedureContext& context) : ctx_(context) {}

T_EMFLoader::~T_EMFLoader() {
  ctx_.queue.RemoveHandler(kernel::Bind<&T_EMFLoader::Handler>(), this);
  supervision_ = ctx_.host.Timers().StopTimer(supervision_);
  answerTimer_ = ctx_.host.Timers().StopTimer(answerTimer_);
}

bool T_EMFLoader::Run(int sensorUpdate, const std::string& fileName, bool repeatAllowed) {
  (void)repeatAllowed;
  startCommand_ = std::clamp(sensorUpdate, 0, 1);
  fileName_ = fileName;
  failed_ = done_ = transferMode_ = loaderAnswered_ = false;
  errorCode_ = 0;
  platform::ProgressBar* bar = ctx_.progressBar;
  if (bar) bar->SetPosition(0);
  if (!ReadImage(fileName)) {
    // Nothing was sent: the instrument stays as it is.
    status_ = StImage;
    failed_ = true;
    ShowError();
    return false;
  }
  if (bar) bar->SetMax(static_cast<int>(image_.packets));
  // The rate the loader will listen at: 9600 for the first file's "@" and after the restart
  // of "A.1256" (which is entered with the 9600 code), else 115200.
  const bool restartAhead = startCommand_ == 1 && ctx_.record.noSensorFlag;
  loaderBaud_ = ctx_.record.firstFileAtFlag || restartAhead ? comport::B__9600 : comport::B115200;

  ctx_.queue.AddHandler(kernel::Bind<&T_EMFLoader::Handler>(), this);
  if (ctx_.port) ctx_.port->SaveLastV24Parameter();
  supervision_ = ctx_.host.Timers().StartTimer(kSupervisionMs);
  ctx_.host.SetTitleProgress("", -1.0f);
  // A laboratory instrument is in command mode already.
  Go(ctx_.record.laboratoryFlag ? Step::StartLoader : Step::Wake);

  switch (procedure::PumpUntilDone(ctx_, done_)) {
    case procedure::PumpEnd::PortGone: FailWith(procedure::Text(procedure::MsgPortGone, ctx_.language), status_); break;
    case procedure::PumpEnd::Closed: Fail(status_); break;
    case procedure::PumpEnd::Done: break;
  }

  ctx_.host.SetTitleProgress("", -1.0f);
  ctx_.delay.DelayTime(200, false);
  procedure::RestoreLine(ctx_, !failed_);
  ctx_.delay.DelayTime(1500, false);
  if (bar) bar->SetPosition(0);
  ctx_.queue.RemoveHandler(kernel::Bind<&T_EMFLoader::Handler>(), this);
  supervision_ = ctx_.host.Timers().StopTimer(supervision_);
  answerTimer_ = ctx_.host.Timers().StopTimer(answerTimer_);
  if (failed_) ShowError();
  return !failed_;
}

bool T_EMFLoader::ReadImage(const std::string& fileName) {
  using procedure::FillXs;
  using procedure::Text;
  const auto path = platform::files::Resolve(ctx_.host.PackageFolder(), fileName);
  const std::int64_t size = path ? platform::files::FileSize(*path) : -1;
  if (size > static_cast<std::int64_t>(kMaxFileSize)) {
    ctx_.host.ReportText(FillXs(Text(procedure::MsgImageTooLarge, ctx_.language),
                                {fileName, std::to_string(size), std::to_string(kMaxFileSize)}));
    return false;
  }
  std::optional<std::string> bytes;
  if (path && size >= 0) bytes = platform::files::ReadWholeFile(*path, kMaxFileSize);
  if (!bytes) {
    ctx_.host.ReportText(procedure::FillX(Text(procedure::MsgPackageFileMissing, ctx_.language), fileName));
    return false;
  }
  image_ = xmodem::PrepareImage(std::vector<std::uint8_t>(bytes->begin(), bytes->end()));
  sender_ = xmodem::Sender(image_.packets);
  return true;
}

void T_EMFLoader::ShowError() {
  errorCode_ = status_;
  if (!platform::HasApp()) return;
  // Before the loader's version reply the loader was not reached; after it, it failed.
  const procedure::Msg msg = status_ == StImage || loaderAnswered_ ? procedure::MsgErrorInBootloader
                                                                   : procedure::MsgBootloaderNotAvailable;
  platform::App().MessageBox(procedure::Text(msg, ctx_.language), "Error", platform::BoxIcon::Error,
                             platform::BoxButtons::Ok);
}

void T_EMFLoader::Fail(int status) {
  // A loader left waiting for packets would take the next run's commands for noise.
  if (transferMode_ && ctx_.port && !ctx_.port->Gone()) {
    Trace("CAN CAN: the transfer is given up");
    Write(xmodem::kCancel.data(), xmodem::kCancel.size());
  }
  transferMode_ = false;
  status_ = status;
  failed_ = done_ = true;
  awaiting_ = Answer::None;
  supervision_ = ctx_.host.Timers().StopTimer(supervision_);
  StopAnswerTimer();
}

void T_EMFLoader::FailWith(const std::string& text, int status) {
  ctx_.host.ReportText(text);
  Fail(status);
}

// ---- events ----

kernel::Event T_EMFLoader::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  namespace reply = procedure::reply;
  if (ev.kind == kernel::EvKey) return ev.code == 13 ? EventQueue::ConsumeEvent(ev) : ev;
  if (ev.kind == kernel::EvTimer) {
    if (supervision_ != 0 && ev.code == supervision_) {
      Trace(std::string(Def(current_).name) + " silent for " + std::to_string(kSupervisionMs / 1000) + " s, run failed");
      FailWith(procedure::FillXs(procedure::Text(procedure::MsgNoAnswerFor, ctx_.language),
                                 {std::to_string(kSupervisionMs / 1000)}),
               status_);
      return EventQueue::ConsumeEvent(ev);
    }
    if (answerTimer_ != 0 && ev.code == answerTimer_) {
      OnAnswerTimer();
      return EventQueue::ConsumeEvent(ev);
    }
    return ev;
  }
  if (ev.kind != kernel::EvNotify) return ev;
  const char* text = reinterpret_cast<const char*>(ev.payload);
  switch (ev.code) {
    case procedure::NotifyRxData:
      // Bytes on another port are none of this loader's business.
      if (ctx_.port && ev.payload != ctx_.port->ComNumber()) return ev;
      if (!done_) ctx_.host.Timers().RestartTimer(supervision_);
      if (!transferMode_) return ev;  // text replies: the reply parser reads them
      OnReceive();
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyAck:
      OnAnswer(Answer::Ack);
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyEcho:
      OnAnswer(Answer::Echo);
      return EventQueue::ConsumeEvent(ev);
    case procedure::NotifyError:
      OnRefusal();
      return EventQueue::ConsumeEvent(ev);
    case reply::LoaderVersion:
    case reply::ImageChecksum:
      if (awaiting_ == (ev.code == reply::LoaderVersion ? Answer::Version : Answer::Checksum)) {
        replyText_ = text ? text : "";
        OnAnswer(awaiting_);
      }
      return EventQueue::ConsumeEvent(ev);
    default:
      return ev;
  }
}

void T_EMFLoader::Go(Step step) {
  if (step == Step::None || done_) return;
  const StepDef& d = Def(step);
  if (d.decide) {
    (this->*d.decide)();
    return;
  }
  current_ = step;
  status_ = d.status;
  awaiting_ = d.awaits;
  StopAnswerTimer();
  (this->*d.send)();
  if (done_) return;
  if (d.awaits == Answer::None)
    Go(d.next);
  else if (d.answerMs > 0)
    StartAnswerTimer(d.answerMs);
}

void T_EMFLoader::OnAnswer(Answer answer) {
  if (done_ || awaiting_ == Answer::None || answer != awaiting_) return;
  awaiting_ = Answer::None;
  StopAnswerTimer();
  Go(Def(current_).next);
}

void T_EMFLoader::OnRefusal() {
  if (done_ || awaiting_ == Answer::None) return;
  const StepDef& d = Def(current_);
  if (d.onRefusal != Step::None) {
    Trace(std::string(d.name) + " refused, on with " + Def(d.onRefusal).name);
    awaiting_ = Answer::None;
    Go(d.onRefusal);
    return;
  }
  Trace(std::string(d.name) + " refused, run failed");
  FailWith(procedure::FillXs(procedure::Text(procedure::MsgCommandRefused, ctx_.language), {lastCommand_}),
           d.status);
}

void T_EMFLoader::OnAnswerTimer() {
  StopAnswerTimer();
  if (done_ || awaiting_ == Answer::None) return;
  if (transferMode_ && sender_.Waiting()) {
    Apply(sender_.OnSilence());
    return;
  }
  const StepDef& d = Def(current_);
  if (d.onSilence != Step::None) {
    Trace(std::string(d.name) + " unanswered, on with " + Def(d.onSilence).name);
    awaiting_ = Answer::None;
    Go(d.onSilence);
    return;
  }
  Trace(std::string(d.name) + " unanswered for " + std::to_string(d.answerMs / 1000) + " s, run failed");
  FailWith(procedure::FillXs(procedure::Text(procedure::MsgNoAnswerFor, ctx_.language),
                             {std::to_string(d.answerMs / 1000)}),
           d.status);
}

void T_EMFLoader::OnReceive() {
  if (!ctx_.port) return;
  // Everything that has arrived; the sender looks at its first byte (and for CAN CAN).
  std::vector<std::uint8_t> got;
  char chunk[256];
  for (;;) {
    long n = ctx_.port->ReadAvailable(chunk, sizeof chunk);
    if (n <= 0) break;
    got.insert(got.end(), chunk, chunk + n);
    if (static_cast<std::size_t>(n) < sizeof chunk) break;
  }
  if (got.empty()) return;
  if (sender_.GetState() == xmodem::Sender::State::AwaitRequest && got.front() == '?') {
    // The loader refused "u" (a missing or wrong unlock code) with "?" instead of asking.
    transferMode_ = false;
    OnRefusal();
    return;
  }
  Apply(sender_.OnReceived(got.data(), got.size()));
}

void T_EMFLoader::Apply(const xmodem::Sender::Reaction& r) {
  using procedure::FillXs;
  using procedure::Text;
  using State = xmodem::Sender::State;
  if (!r.trace.empty()) Trace(r.trace);
  if (r.acknowledged) Progress();
  if (r.send == xmodem::Sender::Send::Packet) {
    const xmodem::Packet packet = xmodem::BuildPacket(image_, r.packet);
    Write(packet.data(), packet.size());
    StartAnswerTimer(kPacketAnswerMs);
  } else if (r.send == xmodem::Sender::Send::EndOfTransmission) {
    Write(xmodem::kEndOfTransmission.data(), xmodem::kEndOfTransmission.size());
    StartAnswerTimer(kPacketAnswerMs);
  }
  switch (sender_.GetState()) {
    case State::Finished:
      StopAnswerTimer();
      transferMode_ = false;
      OnAnswer(Answer::Transfer);
      break;
    case State::Cancelled:
      transferMode_ = false;  // the loader ended the transfer itself
      FailWith(FillXs(Text(procedure::MsgTransferCancelled, ctx_.language),
                      {fileName_, std::to_string(sender_.Current())}),
               StTransfer);
      break;
    case State::GaveUp: {
      const bool eot = sender_.AtEndOfTransmission();
      FailWith(FillXs(Text(procedure::MsgPacketNotTaken, ctx_.language),
                      {eot ? std::string("EOT") : std::to_string(sender_.Current()), fileName_,
                       std::to_string(xmodem::Sender::kRepeatLimit + 1)}),
               StTransfer);
      break;
    }
    default:
      break;
  }
}

void T_EMFLoader::Progress() {
  platform::ProgressBar* bar = ctx_.progressBar;
  if (!bar) return;
  bar->SetPosition(bar->Position() + 1);
  const float max = static_cast<float>(std::max(1, bar->Max()));
  ctx_.host.SetTitleProgress("", static_cast<float>(bar->Position()) / max * 100.0f);
}

void T_EMFLoader::RestartSupervision() {
  supervision_ = ctx_.host.Timers().StopTimer(supervision_);
  supervision_ = ctx_.host.Timers().StartTimer(kSupervisionMs);
}

void T_EMFLoader::StartAnswerTimer(std::uint32_t ms) {
  answerTimer_ = ctx_.host.Timers().StopTimer(answerTimer_);
  answerTimer_ = ctx_.host.Timers().StartTimer(static_cast<std::int32_t>(ms));
}

void T_EMFLoader::StopAnswerTimer() { answerTimer_ = ctx_.host.Timers().StopTimer(answerTimer_); }

// ---- what the steps send ----

void T_EMFLoader::Write(const void* data, std::size_t n) {
  if (ctx_.port) ctx_.port->Write(static_cast<const char*>(data), static_cast<int>(n), false);
}

void T_EMFLoader::WriteText(const char* text) {
  if (ctx_.port) ctx_.port->Write(text, -1, false);
}

void T_EMFLoader::WriteLetter(char letter) {
  Write(&letter, 1);
  if (unlock_) Write(emf::kUnlockCode.data(), emf::kUnlockCode.size());
  lastCommand_ = std::string(1, letter);
  Trace(std::string(Def(current_).name) + " \"" + letter + "\"" + (unlock_ ? " with the unlock code" : ""));
}

void T_EMFLoader::SendWake() {
  WriteText(procedure::command::CommandMode);
  lastCommand_ = "A.1000";
  Trace(std::string(Def(current_).name) + " A.1000");
}

void T_EMFLoader::SendStart() {
  if (startCommand_ == 1 && ctx_.record.noSensorFlag) startCommand_ = 2;
  const char* command = procedure::command::EmfStart[startCommand_];
  const char* code = ctx_.record.firstFileAtFlag ? emf::kSpeedCode9600 : emf::kSpeedCode115200;
  WriteText(command);
  WriteText(code);
  // The line the instrument talks at now is what the run restores.
  if (ctx_.port) ctx_.port->SaveLastV24Parameter();
  lastCommand_ = std::string(command) + code[0];
  Trace(std::string(Def(current_).name) + " " + lastCommand_);
}

void T_EMFLoader::SendRestart() {
  if (ctx_.port) ctx_.port->ChangeV24Parameter(comport::B__9600, comport::S_2, comport::NoParity, false);
  Trace(std::string(Def(current_).name) + ": the instrument restarts, 9600 8N2");
  supervision_ = ctx_.host.Timers().StopTimer(supervision_);
  ctx_.delay.DelayTime(kRestartMs, false);
  supervision_ = ctx_.host.Timers().StartTimer(kSupervisionMs);
  startCommand_ = 0;
  // The restarted instrument takes its start command at 9600 and enters the loader there.
  loaderBaud_ = comport::B__9600;
  WriteText(procedure::command::EmfStart[0]);
  WriteText(emf::kSpeedCode9600);
  lastCommand_ = std::string(procedure::command::EmfStart[0]) + emf::kSpeedCode9600[0];
  Trace(std::string(Def(current_).name) + " " + lastCommand_);
}

void T_EMFLoader::SendVersionQuery() {
  if (ctx_.port) ctx_.port->ChangeV24Parameter(loaderBaud_, comport::S_2, comport::NoParity, false);
  ctx_.delay.DelayTime(kLoaderSettleMs, false);
  RestartSupervision();
  WriteText(procedure::command::EmfVersion);
  lastCommand_ = "A.2051";
  Trace(std::string(Def(current_).name) + " A.2051 at " + BaudText(loaderBaud_) + " 8N2");
}

void T_EMFLoader::SendUpload() {
  transferMode_ = true;
  sender_ = xmodem::Sender(image_.packets);
  WriteLetter(emf::kUpload);
}

void T_EMFLoader::SendChecksumCommand() { WriteLetter(emf::kChecksum); }

void T_EMFLoader::SendRun() {
  ctx_.delay.DelayTime(300, false);
  WriteLetter(emf::kRun);
  if (ctx_.progressBar) ctx_.progressBar->SetPosition(0);
  ctx_.delay.DelayTime(500, false);
}

// ---- decisions ----

void T_EMFLoader::Echoed() { Go(startCommand_ < 2 ? Step::Entry : Step::Restart); }

void T_EMFLoader::VersionReply() {
  loaderAnswered_ = true;
  unlock_ = emf::NeedsUnlockCode(replyText_);
  ctx_.host.AppendToSoftwareVersion("   [BLV: " + emf::VersionLabel(replyText_) + "]");
  Trace("Loader version " + replyText_ + (unlock_ ? ": unlock code" : ""));
  Go(Step::Upload);
}

void T_EMFLoader::CompareChecksum() {
  const std::optional<std::uint16_t> reported = emf::ParseChecksum(replyText_);
  if (reported && *reported == image_.checksum) {
    Trace("Checksum " + procedure::HexWord(*reported) + " is the image's");
    Go(Step::Launch);
    return;
  }
  // The loader holds something else than the image: its application is not started.
  const std::string theirs = reported ? procedure::HexWord(*reported) : "\"" + replyText_ + "\"";
  Trace("Checksum " + theirs + ", the image's " + procedure::HexWord(image_.checksum) + ": run failed");
  FailWith(procedure::FillXs(procedure::Text(procedure::MsgImageRejected, ctx_.language),
                             {fileName_, theirs, procedure::HexWord(image_.checksum)}),
           StChecksum);
}

void T_EMFLoader::Finished() {
  ctx_.host.SetTitleProgress("", 100.0f);
  done_ = true;
}

}  // namespace loaders
