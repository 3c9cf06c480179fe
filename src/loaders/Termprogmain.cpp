#include "loaders/Termprogmain.h"

#include <algorithm>
#include <cstdio>

#include "comport/Comport.h"
#include "kernel/Timer.h"
#include "loaders/SRecordImage.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/Notifications.h"

namespace loaders {

// What the terminal does on the codes it takes; every other phrase is posted for whoever
// wants it and passed on.
//
//   (banner, "Ready PC ?") -> 112 preparing (erase) -> 105 waiting for the S-records
//   -> 106 one block per notification until the image is sent -> 104 programmed
//   108 a defective record, or 2 an abort, end the run
constexpr BasicLoaderProcedure::PhaseDef BasicLoaderProcedure::kPhases[] = {
    {term::CodePreparing,  "Preparing",     &BasicLoaderProcedure::Preparing},
    {term::CodeWaiting,    "Upload",        &BasicLoaderProcedure::StartUpload},
    {term::CodeSendBlock,  "Block",         &BasicLoaderProcedure::SendBlock},
    {term::CodeProgrammed, "Programmed",    &BasicLoaderProcedure::Programmed},
    {term::CodeDefect,     "Record defect", &BasicLoaderProcedure::Defect},
    {kAbortCode,           "Abort",         &BasicLoaderProcedure::AbortRun},
};

const char* BasicLoaderProcedure::ImageFileFor(char bootCharacter) {
  return bootCharacter == '0' ? "L3_TermH.A37" : "L3_TermL.A37";
}

std::string BasicLoaderProcedure::CheckImage(const std::string& folder, char bootCharacter, std::int32_t language,
                                             std::vector<std::uint8_t>* image) {
  const std::string name = ImageFileFor(bootCharacter);
  auto text = [language](procedure::Msg msg) { return std::string(procedure::Text(msg, language)); };
  const auto path = platform::files::Resolve(folder, name);
  const std::int64_t size = path && platform::files::IsFile(*path) ? platform::files::FileSize(*path) : -1;
  if (size < 0) {
    // The catalogue's text names the L file; the user is told the file that was looked for.
    std::string t = text(procedure::MsgUnableToOpenTermL);
    const std::string l = "L3_TermL.A37";
    if (auto at = t.find(l); at != std::string::npos) t.replace(at, l.size(), name);
    return t;
  }
  if (static_cast<std::uint64_t>(size) > kImageCap)
    return procedure::FillX(procedure::FillHash(text(procedure::MsgPackageFileTooLarge), std::to_string(kImageCap)),
                            name);
  if (size == 0) return procedure::FillX(text(procedure::MsgPackageFileEmpty), name);
  const auto bytes = platform::files::ReadWholeFile(*path, kImageCap);
  if (!bytes) return procedure::FillX(text(procedure::MsgPackageFileUnreadable), name);
  const SRecordFileCheck check = CheckSRecordFile(*bytes);
  if (!check.ok)
    return procedure::FillX(procedure::FillHash(text(procedure::MsgSRecordFileDamaged), std::to_string(check.line)),
                            name);
  if (image) image->assign(bytes->begin(), bytes->end());
  return {};
}

BasicLoaderProcedure::BasicLoaderProcedure(const procedure::ProcedureContext& context,
                                           std::function<void(Result)> ended)
    : ctx_(context), ended_(std::move(ended)) {
  ctx_.queue.AddHandler(kernel::Bind<&BasicLoaderProcedure::Handler>(), this);
  imageName_ = ImageFileFor(ctx_.record.bootCharacter);
  const std::string problem =
      CheckImage(ctx_.host.PackageFolder(), ctx_.record.bootCharacter, ctx_.language, &image_);
  if (!problem.empty()) {
    if (platform::HasApp())
      platform::App().MessageBox(problem, " Error ", platform::BoxIcon::Error, platform::BoxButtons::Ok);
    Fail(problem);
    return;
  }
  if (ctx_.port) {
    ctx_.port->ChangeHandShake(comport::RTS_CTS);
    ctx_.port->ChangeBaudrate(comport::B_19200);
  }
  silenceTimer_ = ctx_.host.Timers().StartTimer(kSilenceLimitMs);
  ctx_.host.LogLine("Basic-Loader terminal: 19200 baud, RTS/CTS, image " + imageName_ + " (" +
                    std::to_string(image_.size()) + " bytes)");
}

BasicLoaderProcedure::~BasicLoaderProcedure() {
  ctx_.queue.RemoveHandler(kernel::Bind<&BasicLoaderProcedure::Handler>(), this);
  StopTimers();
}

void BasicLoaderProcedure::StopTimers() {
  silenceTimer_ = ctx_.host.Timers().StopTimer(silenceTimer_);
  retryTimer_ = ctx_.host.Timers().StopTimer(retryTimer_);
}

kernel::Event BasicLoaderProcedure::Handler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind == kernel::EvTimer) {
    if (silenceTimer_ != 0 && ev.code == silenceTimer_) {
      Fail(procedure::FillHash(Message(procedure::MsgBasicLoaderSilent), std::to_string(kSilenceLimitMs / 1000)));
      return EventQueue::ConsumeEvent(ev);
    }
    if (retryTimer_ != 0 && ev.code == retryTimer_) {
      retryTimer_ = ctx_.host.Timers().StopTimer(retryTimer_);
      ctx_.queue.PostNotify(term::CodeSendBlock);
      return EventQueue::ConsumeEvent(ev);
    }
    return ev;
  }
  if (ev.kind != kernel::EvNotify) return ev;
  if (ev.code == procedure::NotifyRxData || ev.code == procedure::NotifyPortGone) {
    // Only this terminal's port is its business.
    if (!ctx_.port || ev.payload != ctx_.port->ComNumber()) return ev;
    if (ev.code == procedure::NotifyPortGone)
      Fail(Message(procedure::MsgPortGone));
    else
      OnReceive();
    return EventQueue::ConsumeEvent(ev);
  }
  // The phrase codes are posted without a payload; an instrument's numbered reply of the same
  // number always carries its text, and is not the loader's.
  if (ev.payload != 0) return ev;
  for (const PhaseDef& p : kPhases) {
    if (p.code != ev.code) continue;
    if (p.code != term::CodeSendBlock) ctx_.host.LogLine(std::string("Basic-Loader: ") + p.name);
    (this->*p.run)();
    return EventQueue::ConsumeEvent(ev);
  }
  return ev;
}

void BasicLoaderProcedure::OnReceive() {
  char buf[kReadChunk];
  for (;;) {
    const long n = ctx_.port->ReadAvailable(buf, sizeof buf);
    if (n < 0) {
      if (ctx_.port->Gone()) Fail(Message(procedure::MsgPortGone));
      return;
    }
    if (n == 0) return;
    if (silenceTimer_ != 0) ctx_.host.Timers().RestartTimer(silenceTimer_);
    matcher_.Append(buf, static_cast<std::size_t>(n));
    for (std::int32_t code : matcher_.Match()) {
      ctx_.host.LogLine("Basic-Loader <- " + std::to_string(code));
      ctx_.queue.PostNotify(code);
    }
    if (n < static_cast<long>(sizeof buf)) return;
  }
}

// ---- the loader's phases ----

void BasicLoaderProcedure::Preparing() {
  if (result_ != Result::Running) return;
  ctx_.host.ClearReport();
  ctx_.host.ReportText(Message(procedure::MsgPreparingProgram));
}

void BasicLoaderProcedure::StartUpload() {
  if (result_ != Result::Running || aborted_) return;
  // One upload: a second request while blocks flow would start a second chain of blocks.
  if (uploading_) {
    ctx_.host.LogLine("(the loader asked for the S-records again)");
    return;
  }
  uploading_ = true;
  if (ctx_.progressBar) ctx_.progressBar->SetMax(100);
  ctx_.host.ReportText(Message(procedure::MsgProgrammingNameTerm));
  bytesSent_ = 0;
  ctx_.host.SetTitleProgress("", -1.0f);
  if (ctx_.progressBar) ctx_.progressBar->SetPosition(0);
  ctx_.queue.PostNotify(term::CodeSendBlock);
}

void BasicLoaderProcedure::SendBlock() {
  if (aborted_ || result_ != Result::Running || !uploading_ || bytesSent_ >= image_.size()) return;
  const std::size_t n = std::min(kBlockBytes, image_.size() - bytesSent_);
  const int written = ctx_.port ? ctx_.port->Write(reinterpret_cast<const char*>(image_.data() + bytesSent_),
                                                   static_cast<int>(n), true)
                                : comport::V24NotOpen;
  if (written == comport::V24ShortWrite || written == comport::V24NotOpen) {
    // The line failed under the upload: no further block can reach the loader.
    Fail(ctx_.port && ctx_.port->Gone() ? Message(procedure::MsgPortGone) : std::string());
    return;
  }
  if (written <= 0) {
    // The transmit thread still sends the last block.
    if (retryTimer_ == 0) retryTimer_ = ctx_.host.Timers().StartTimer(kBusyRetryMs);
    return;
  }
  char trace[64];
  std::snprintf(trace, sizeof trace, "Block @%zu (%zu bytes)", bytesSent_, n);
  ctx_.host.LogLine(trace);
  bytesSent_ += n;
  if (silenceTimer_ != 0) ctx_.host.Timers().RestartTimer(silenceTimer_);
  const float percent = static_cast<float>(bytesSent_) / static_cast<float>(image_.size()) * 100.0f;
  if (ctx_.progressBar) ctx_.progressBar->SetPosition(static_cast<int>(percent));
  ctx_.host.SetTitleProgress(std::string(ctx_.record.bootCharacter == '0' ? "H" : "L") + "  ", percent);
  if (bytesSent_ < image_.size()) ctx_.queue.PostNotify(term::CodeSendBlock);
}

void BasicLoaderProcedure::Programmed() {
  if (result_ != Result::Running) return;
  // The loader reports its end after the image's end record, the last line of the file: a
  // report before the whole image was handed over is no report of this image.
  if (!uploading_ || bytesSent_ < image_.size()) {
    ctx_.host.LogLine("(\"programmed\" before the image was sent: not taken)");
    return;
  }
  ctx_.host.ClearReport();
  ctx_.host.ReportText(Message(procedure::MsgProgramSuccessful));
  // One beep: the many beeps of the old program are one long noise on this platform.
  if (platform::HasApp()) platform::App().Beep();
  ctx_.host.SetTitleProgress("", -1000.0f);
  End(Result::Programmed);
}

void BasicLoaderProcedure::Defect() {
  if (result_ != Result::Running) return;
  ctx_.host.ReportText(Message(procedure::MsgTransmitError));
  AbortRun();
}

void BasicLoaderProcedure::AbortRun() {
  if (result_ != Result::Running) return;
  ctx_.host.ReportText(Message(procedure::MsgProgrammingAbort));
  aborted_ = true;
  End(Result::Aborted);
}

void BasicLoaderProcedure::Fail(const std::string& text) {
  if (result_ != Result::Running) return;
  if (!text.empty()) ctx_.host.ReportText(text);
  AbortRun();
}

void BasicLoaderProcedure::End(Result result) {
  result_ = result;
  StopTimers();
  if (ctx_.progressBar && result == Result::Aborted) ctx_.progressBar->SetPosition(0);
  if (ended_) ended_(result);
}

}  // namespace loaders
