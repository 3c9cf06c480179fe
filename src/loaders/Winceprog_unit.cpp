#include "loaders/Winceprog_unit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "comport/Comport.h"
#include "kernel/Delay.h"
#include "kernel/Timer.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/InstrumentCommands.h"
#include "procedure/Notifications.h"

namespace loaders {

using Step = TWinCEProg::Step;

// The transfer dialogue. Each step sends one thing; the instrument's "!" to it runs the step
// named in the last column (a step may change that while it runs: the last block of a file
// leads to its end, the next-file decision to the next announcement or to the end).
//
//   A.1000 -> A.1300#38400, line to 38400 8N2 -> per file: announcement, packets, A.1202
//   -> A.1203 -> A.1300#<old rate>, line back -> done
constexpr TWinCEProg::StepDef TWinCEProg::kSteps[] = {
    // step              name                       action                     after its "!"
    {Step::None,         "",                        nullptr,                   Step::None},
    {Step::CommandMode,  "Command mode",            &TWinCEProg::CommandMode,  Step::SwitchSpeed},
    {Step::SwitchSpeed,  "Speed change to 38400",   &TWinCEProg::SwitchSpeed,  Step::Announce},
    {Step::Announce,     "Announcement",            &TWinCEProg::Announce,     Step::SendBlock},
    {Step::SendBlock,    "Block",                   &TWinCEProg::SendBlock,    Step::SendBlock},
    {Step::EndOfFile,    "End of file",             &TWinCEProg::EndOfFile,    Step::NextFile},
    {Step::NextFile,     "Next file",               &TWinCEProg::NextFile,     Step::None},
    {Step::Finish,       "End of transfer",         &TWinCEProg::Finish,       Step::RestoreSpeed},
    {Step::RestoreSpeed, "Speed change back",       &TWinCEProg::RestoreSpeed, Step::Done},
    {Step::Done,         "Done",                    &TWinCEProg::Done,         Step::None},
};

const TWinCEProg::StepDef& TWinCEProg::Def(Step step) {
  static_assert(procedure::IndexedByStep(kSteps, Step::Count), "one table row per step, in step order");
  return kSteps[static_cast<std::size_t>(step)];
}

TWinCEProg::TWinCEProg(const procedure::ProcedureContext& context) : ctx_(context) {}

TWinCEProg::~TWinCEProg() {
  ctx_.queue.RemoveHandler(kernel::Bind<&TWinCEProg::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

std::string TWinCEProg::Message(procedure::Msg msg) const { return procedure::Text(msg, ctx_.language); }

bool TWinCEProg::SendCommand(const std::string& text) {
  if (ctx_.port) ctx_.port->Write(text.c_str(), -1, false);
  Trace(text);
  return true;
}

// Every file is looked at before the instrument is touched: one that is missing, larger than
// the transfer holds or whose name does not fit its announcement refuses the whole transfer,
// so that no instrument is left with part of a package.
bool TWinCEProg::CheckFiles(const std::string& firstFile) {
  files_.clear();
  std::vector<std::string> names{firstFile};
  names.insert(names.end(), ctx_.record.fileList.begin(), ctx_.record.fileList.end());
  bool ok = true;
  for (const std::string& name : names) {
    const auto path = platform::files::Resolve(ctx_.host.PackageFolder(), name);
    std::string problem;
    if (name.empty() || !path || !platform::files::IsFile(*path)) {
      problem = procedure::FillX(Message(procedure::MsgPackageFileMissing), name);
    } else if (const std::int64_t size = platform::files::FileSize(*path); size < 0) {
      problem = procedure::FillX(Message(procedure::MsgPackageFileUnreadable), name);
    } else if (static_cast<std::uint64_t>(size) > wince::kFileCap) {
      problem = procedure::FillX(
          procedure::FillHash(Message(procedure::MsgPackageFileTooLarge), std::to_string(wince::kFileCap)), name);
    } else if (!wince::Announcement(procedure::command::WinCEAnnounceRepeat, name, wince::kNoTimeStamp,
                                    static_cast<std::uint32_t>(size))) {
      problem = procedure::FillX(procedure::FillHash(Message(procedure::MsgAnnouncementTooLong),
                                                     std::to_string(wince::kHeaderCap - 1)),
                                 name);
    }
    if (!problem.empty()) {
      ctx_.host.ReportText(problem);
      ok = false;
      continue;
    }
    files_.push_back({name, *path});
  }
  return ok;
}

bool TWinCEProg::LoadFile(const PackageFile& file) {
  auto bytes = platform::files::ReadWholeFile(file.path, wince::kFileCap);
  if (!bytes) {
    Fail(procedure::FillX(Message(procedure::MsgPackageFileUnreadable), file.name));
    return false;
  }
  data_.assign(bytes->begin(), bytes->end());
  return true;
}

bool TWinCEProg::Run(int /*mode*/, const std::string& firstFile, bool repeat) {
  platform::ProgressBar* bar = ctx_.progressBar;
  if (bar) bar->SetPosition(0);
  failed_ = finished_ = false;
  repeat_ = repeat;
  if (!CheckFiles(firstFile)) return false;
  // The instrument is told to go back to the rate it answers at now, which the search found;
  // the port's stored parameter set need not be that rate.
  savedBaud_ = ctx_.port ? ctx_.port->LoadV24Parameter().baud : 0;
  if (!wince::IsAnnouncedRate(savedBaud_)) {
    ctx_.host.ReportText(procedure::FillHash(Message(procedure::MsgLineRateUnknown), std::to_string(savedBaud_)));
    return false;
  }
  filesDone_ = 1;
  current_ = &files_[0];
  if (!LoadFile(*current_)) return false;
  if (bar) bar->SetMax(static_cast<int>(data_.size() / wince::kBlockBytes));
  bytesSent_ = 0;
  finished_ = false;

  ctx_.queue.AddHandler(kernel::Bind<&TWinCEProg::Handler>(), this);
  if (ctx_.port) ctx_.port->SaveLastV24Parameter();
  timer_ = ctx_.host.Timers().StartTimer(kStepTimeoutMs);
  ctx_.host.SetTitleProgress("", -1.0f);
  Go(Step::CommandMode);

  while (!finished_) {
    ctx_.host.PumpEvents();
    ctx_.host.ProcessMessages();
    if (finished_) break;
    // The steps run here, not inside the handler: a step's own waits then never nest a
    // second step inside the first.
    if (answer_ != Answer::None) {
      Answer a = answer_;
      answer_ = Answer::None;
      TakeAnswer(a);
      continue;
    }
    if (ctx_.port && ctx_.port->Gone()) {
      Fail(Message(procedure::MsgPortGone));
      break;
    }
    if (!platform::HasApp() || platform::App().Terminated() || !ctx_.port || !ctx_.port->IsOpen()) {
      // The window was closed or the port was closed under the run.
      failed_ = finished_ = true;
      break;
    }
    platform::App().WaitMessage(1000);
  }

  ctx_.host.SetTitleProgress("", -1.0f);
  ctx_.delay.DelayTime(500, false);
  if (bar) bar->SetPosition(0);
  ctx_.queue.RemoveHandler(kernel::Bind<&TWinCEProg::Handler>(), this);
  timer_ = ctx_.host.Timers().StopTimer(timer_);
  // A transfer that ended at 38400 leaves the port there; the instrument returns to its text
  // rate on its own when the line stays quiet.
  if (lineChanged_ && ctx_.port) {
    ctx_.port->LoadLastV24Parameter();
    lineChanged_ = false;
  }
  return !failed_;
}

void TWinCEProg::Fail(const std::string& text) {
  if (finished_) return;
  if (!text.empty()) ctx_.host.ReportText(text);
  failed_ = finished_ = true;
  awaiting_ = false;
  timer_ = ctx_.host.Timers().StopTimer(timer_);
}

std::string TWinCEProg::Awaited() const {
  const std::string file = current_ ? current_->name : std::string();
  switch (sent_) {
    case Step::Announce:
      return "announcement of " + file;
    case Step::SendBlock:
      return "block @" + std::to_string(blockStart_) + " of " + file;
    case Step::EndOfFile:
      return "end of " + file;
    default:
      return Def(sent_).name;
  }
}

// ---- answers ----

kernel::Event TWinCEProg::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind == kernel::EvTimer) {
    if (timer_ == 0 || ev.code != timer_) return ev;
    Fail(procedure::FillX(
        procedure::FillHash(Message(procedure::MsgNoAnswerWithin), std::to_string(kStepTimeoutMs / 1000)),
        Awaited()));
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify || !ctx_.port) return ev;
  // Only this transfer's own port is its business.
  if (ev.payload != ctx_.port->ComNumber()) return ev;
  if (ev.code == procedure::NotifyRxData) {
    OnReceive();
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.code == procedure::NotifyPortGone) {
    Fail(Message(procedure::MsgPortGone));
    return EventQueue::ConsumeEvent(ev);
  }
  return ev;
}

void TWinCEProg::OnReceive() {
  char buf[256];
  for (;;) {
    const long n = ctx_.port->ReadAvailable(buf, sizeof buf);
    if (n < 0) {
      if (ctx_.port->Gone()) Fail(Message(procedure::MsgPortGone));
      return;
    }
    for (long i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\r' || c == '\n') {
        if (rx_.empty()) continue;
        std::string line;
        line.swap(rx_);
        OnLine(line);
        continue;
      }
      if (rx_.size() >= kLineCap) rx_.erase(0, rx_.size() - kLineCap + 1);
      rx_ += c;
    }
    if (n < static_cast<long>(sizeof buf)) return;
  }
}

// An answer line: "!" acknowledges, "I.260" skips the announced file, "I.261#n" asks for the
// last packet again (n = 2) or gives the transfer up. "?" is the instrument's refusal, which
// the step's time limit then ends. An answer that no step awaits is traced and dropped.
void TWinCEProg::OnLine(const std::string& line) {
  Trace(line + " <-");
  if (finished_) return;
  Answer a = Answer::None;
  const std::size_t reply = line.find("I.");
  if (reply != std::string::npos) {
    const int code = std::atoi(line.c_str() + reply + 2);
    if (code == procedure::reply::NextFile) {
      a = Answer::Skip;
    } else if (code == procedure::reply::Retransmit) {
      const std::size_t hash = line.find('#', reply);
      retransmitValue_ = hash == std::string::npos ? 0 : std::atoi(line.c_str() + hash + 1);
      a = Answer::Retransmit;
    }
  }
  if (a == Answer::None && line.find('!') != std::string::npos) a = Answer::Ack;
  if (a == Answer::None) return;
  // A skip answers an announcement only: elsewhere it would leave a file half sent.
  if (!awaiting_ || (a == Answer::Skip && sent_ != Step::Announce)) {
    Trace("(not awaited)");
    return;
  }
  awaiting_ = false;
  answer_ = a;
}

void TWinCEProg::TakeAnswer(Answer a) {
  ctx_.host.Timers().RestartTimer(timer_);
  switch (a) {
    case Answer::Ack:
      Go(next_);
      break;
    case Answer::Skip:
      Trace("(" + Awaited() + " skipped: the instrument has it)");
      Go(Step::NextFile);
      break;
    case Answer::Retransmit:
      OnRetransmit();
      return;
    case Answer::None:
      return;
  }
  Progress();
}

void TWinCEProg::OnRetransmit() {
  if (retransmitValue_ != 2 || sent_ != Step::SendBlock || retransmit_.empty()) {
    Fail(procedure::FillHash(Message(procedure::MsgTransferStopped), std::to_string(retransmitValue_)));
    return;
  }
  const std::size_t repeat = history_.Take(packetNumber_);
  Trace(procedure::RepeatTrace(Awaited(), "asked again", repeat, kRepeatLimit));
  if (repeat == 0) {
    Fail(procedure::FillX(procedure::FillHash(Message(procedure::MsgAskedAgainTooOften), std::to_string(kRepeatLimit)),
                          Awaited()));
    return;
  }
  WritePacket();
}

void TWinCEProg::Go(Step step) {
  if (step == Step::None || finished_) return;
  const StepDef& d = Def(step);
  next_ = d.next;
  (this->*d.action)();
}

void TWinCEProg::Progress() {
  platform::ProgressBar* bar = ctx_.progressBar;
  if (!bar || finished_) return;
  bar->SetPosition(bar->Position() + 1);
  const float percent =
      bar->Max() > 0 ? static_cast<float>(bar->Position()) / static_cast<float>(bar->Max()) * 100.0f : 100.0f;
  ctx_.host.SetTitleProgress("", percent);
}

void TWinCEProg::Await(Step sent) {
  sent_ = sent;
  awaiting_ = true;
}

// ---- the steps ----

void TWinCEProg::CommandMode() {
  SendCommand(procedure::command::CommandMode);
  Await(Step::CommandMode);
}

// The instrument changes its line after the command and answers at the new rate, so the PC
// waits, switches and only then awaits the answer.
void TWinCEProg::SwitchSpeed() {
  SendCommand(wince::SpeedCommand(kTransferBaud));
  ctx_.delay.DelayTime(kSwitchWaitMs, true);
  if (finished_ || !ctx_.port) return;
  ctx_.port->ChangeV24Parameter(comport::B_38400, comport::S_2, comport::NoParity, false);
  lineChanged_ = true;
  Await(Step::SwitchSpeed);
}

void TWinCEProg::Announce() {
  const char* command = !repeat_ && ctx_.record.deviceStartupVersion >= kSkipStartupVersion
                            ? procedure::command::WinCEAnnounce
                            : procedure::command::WinCEAnnounceRepeat;
  const std::uint32_t stamp = wince::DosTimeStamp(platform::files::FileTime(current_->path));
  auto header = wince::Announcement(command, current_->name, stamp, static_cast<std::uint32_t>(data_.size()));
  if (!header) {
    Fail(procedure::FillX(
        procedure::FillHash(Message(procedure::MsgAnnouncementTooLong), std::to_string(wince::kHeaderCap - 1)),
        current_->name));
    return;
  }
  SendCommand(*header);
  Await(Step::Announce);
}

void TWinCEProg::SendBlock() {
  blockStart_ = bytesSent_;
  bytesSent_ = std::min(bytesSent_ + wince::kBlockBytes, data_.size());
  // A file whose size is a multiple of the block ends with a full block; an empty one with a
  // packet of no bytes.
  if (bytesSent_ >= data_.size()) next_ = Step::EndOfFile;
  retransmit_ = wince::Packet(data_.data() + blockStart_, bytesSent_ - blockStart_);
  ++packetNumber_;
  Await(Step::SendBlock);
  WritePacket();
}

void TWinCEProg::WritePacket() {
  char trace[48];
  std::snprintf(trace, sizeof trace, "D.%zu @%zu ", bytesSent_ - blockStart_, blockStart_);
  Trace(trace + current_->name);
  const int written = ctx_.port ? ctx_.port->Write(reinterpret_cast<const char*>(retransmit_.data()),
                                                   static_cast<int>(retransmit_.size()), false)
                                : comport::V24NotOpen;
  if (written == static_cast<int>(retransmit_.size())) {
    awaiting_ = true;
    return;
  }
  if (ctx_.port && ctx_.port->Gone())
    Fail(Message(procedure::MsgPortGone));
  else
    Trace("(the packet was not written whole: " + std::to_string(written) + ")");
}

void TWinCEProg::EndOfFile() {
  SendCommand(procedure::command::WinCEEndOfFile);
  Await(Step::EndOfFile);
}

// The next file of the list, or the end of the transfer.
void TWinCEProg::NextFile() {
  if (filesDone_ >= files_.size()) {
    Go(Step::Finish);
    return;
  }
  ctx_.host.Timers().RestartTimer(timer_);
  current_ = &files_[filesDone_++];
  if (!LoadFile(*current_)) return;
  if (ctx_.progressBar) {
    ctx_.progressBar->SetMax(static_cast<int>(data_.size() / wince::kBlockBytes + 1));
    ctx_.progressBar->SetPosition(0);
  }
  bytesSent_ = 0;
  Go(Step::Announce);
}

void TWinCEProg::Finish() {
  SendCommand(procedure::command::WinCEEndOfTransfer);
  Await(Step::Finish);
}

void TWinCEProg::RestoreSpeed() {
  SendCommand(wince::SpeedCommand(savedBaud_));
  ctx_.delay.DelayTime(kSwitchWaitMs, true);
  if (finished_ || !ctx_.port) return;
  ctx_.port->LoadLastV24Parameter();
  lineChanged_ = false;
  Await(Step::RestoreSpeed);
}

void TWinCEProg::Done() {
  finished_ = true;
  awaiting_ = false;
}

}  // namespace loaders
