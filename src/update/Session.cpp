// The update session: one attempt from the OK button to the end text, carried by the
// session handler that stays last in the handler chain.
#include <cstdio>

#include "comport/Comport.h"
#include "loaders/Termprogmain.h"
#include "platform/Application.h"
#include "update/AirPressure.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;


namespace {
constexpr std::int32_t kSessionTimeoutMs = 6000;
// How long the session waits for the instrument after the search: the answer to a command,
// the restart after programming, a sensor's own update (up to 35 minutes by the estimate).
constexpr std::int32_t kCommandAnswerMs = 10000;
constexpr std::int32_t kRestartMs = 30000;
constexpr std::int32_t kSensorUpdateMs = 40 * 60 * 1000;

// By FileType: the notification that starts its procedure after a passed check, and what a
// retry on OK repeats. A serial boot-loader package (FileType 4) repeats its transfer: the
// procedure finds the instrument in its loader or starts the loader again.
constexpr std::int32_t kProcedureNotification[] = {NotifySendFollowUp, NotifyRunBootstrapLoader,
                                                   NotifyRunWinCE, NotifySendHexStart,
                                                   NotifyRunEmfLoader};
constexpr std::int32_t kRetryNotification[] = {NotifyAdvance, NotifyRunClassicLoaderDirect,
                                               NotifyRunWinCE, NotifyAdvance, NotifyRunEmfLoader};

// The 5xx bootstrap loader for processor type 21560 (0x5438, the MSP430F5438), the classic
// one for every other; the retry on OK runs the same loader again.
TUpdateForm::ProcedureKind BootstrapLoaderFor(const DeviceRecord& record) {
  return record.processorType == 21560 ? TUpdateForm::ProcedureKind::Bsl54xx
                                       : TUpdateForm::ProcedureKind::ClassicBsl;
}

std::int32_t ByFileType(const std::int32_t (&table)[5], FileTypeTag fileType) {
  auto i = static_cast<std::int32_t>(fileType);
  return i >= 0 && i < 5 ? table[i] : table[0];
}
}  // namespace

std::int32_t ProcedureNotificationFor(FileTypeTag fileType) {
  return ByFileType(kProcedureNotification, fileType);
}

const char* EndCommandFor(FileTypeTag fileType) {
  return fileType == FileTypeTag::Txt ? command::NormalLoader : command::Normal;
}

bool TUpdateForm::UpdateDue() const {
  const DeviceRecord& r = record_;
  return r.deviceVersion < r.packageVersionNumber ||
         (r.deviceVersion == r.packageVersionNumber && session.RepeatAllowed);
}

bool TUpdateForm::SecondUpdateDue() const {
  const DeviceRecord& r = record_;
  return r.deviceSecondVersion < r.packageSecondVersionNumber ||
         (r.deviceSecondVersion == r.packageSecondVersionNumber && session.RepeatAllowed);
}

kernel::Event TUpdateForm::SessionHandler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind == kernel::EvKey) {
    if (ev.code != 13) return ev;
    StartSession();
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind == kernel::EvTimer) {
    if (session.AckTimer != 0 && ev.code == session.AckTimer) {
      OnInstrumentSilent();
      return EventQueue::ConsumeEvent(ev);
    }
    if (session.SessionTimer == 0 || ev.code != session.SessionTimer) return ev;
    OnSessionTimer();
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify) return ev;
  // After a failure or a refusal nothing but the user's OK moves the session on: what the
  // instrument still sends is read and dropped.
  if (session.Halted && ev.code != NotifyRxData) {
    if (ev.code == NotifyAck) LogLine("! <- (the session waits for OK)");
    return EventQueue::ConsumeEvent(ev);
  }

  // A value notification carries a pointer to the reply value, never a text.
  const bool isValue = parser_->IsValuePayload(ev.payload);
  const char* text = isValue ? "" : reinterpret_cast<const char*>(ev.payload);
  if (!text) text = "";

  switch (ev.code) {
    case NotifyRxData:
      parser_->ReadReplies(static_cast<int>(ev.payload));
      break;
    case reply::StoreData:
      if (!session.CheckPassed) break;  // no instrument of this package was identified yet
      if (startMode_ == StartModeTag::Sensor) {
        session.SessionStep = SessionStepTag::Done;
        EndSession(false);
      } else {
        ReportLine(MsgStoreNewData);
        wait.DelayTime(1000, false);
        SetClock(true);
      }
      break;
    case reply::SessionDone:
      if (!session.CheckPassed) break;
      StopAwaiting();
      session.SessionStep = SessionStepTag::Done;
      EndSession(false);
      break;
    case reply::BootCharacter:
      record_.bootCharacter = text[0];
      // The instrument takes its firmware through its Basic-Loader; the loader image is
      // checked before the instrument is sent there.
      if (session.CheckPassed && !BasicLoaderImageUsable()) break;
      SendToInstrument(command::BootCharacterSeen);
      if (session.CheckPassed) {
        session.BasicLoaderDue = true;
        queue_.PostNotify(NotifyStartBasicLoader);
      }
      break;
    case reply::SensorSoftware:
      session.SensorSoftwareFlag = true;
      break;
    case reply::SensorCheck:
      if (record_.deviceNumber.find("20363") != std::string::npos && record_.deviceVersion < 1050) {
        SendToInstrument(command::SensorUpdate);
      } else {
        session.SessionStep = Next(session.SessionStep);
        queue_.PostNotify(NotifySendFollowUp);
        NoDevicePrompts = 0;
      }
      break;
    case NotifyAck:
      // Surplus acknowledgements (a device that says "!" on its own or more than once) must
      // not walk the session on.
      if (!session.AwaitingAck) {
        if (procedureRunning_) session.AckWhileProgramming = true;
        LogLine("! <- (not awaited)");
        break;
      }
      StopAwaiting();
      Sequencer();
      break;
    case NotifyAdvance:
      Sequencer();
      break;
    case NotifyPortGone:
      if (procedureRunning_) break;  // the procedure ends on its own and says so
      OnInstrumentPortGone();
      break;
    case NotifyStepFailed:
    case NotifySecondStageFailed:
      ReportFailure(ev.code);
      break;
    case NotifyExternalLoaderDone:
      ProgrammingSucceeded();
      if (fileType_ == FileTypeTag::Other && startMode_ == StartModeTag::Normal) {
        ReportLine(MsgStoreNewData);
        wait.DelayTime(12000, false);
        SetClock(true);
      }
      break;
    case NotifySendFollowUp:
      SendFollowUpIfDue(session.FollowUpCommand, 0);
      break;
    case NotifySecondStage:
      SecondStage();
      break;
    case NotifyStartBasicLoader:
      StartBasicLoader();
      break;
    case NotifyRunExternalLoader:
      // The step after the follow-up's "!": an instrument that answered it with its boot
      // character went into its Basic-Loader, which the terminal programs.
      if (session.BasicLoaderDue) break;
      SecTimer->SetEnabled(false);
      WaitProgressBar->SetPosition(0);
      queue_.PostNotify(RunExternalLoader(record_.firstProgramFile) != 0 ? NotifyStepFailed
                                                                         : NotifyExternalLoaderDone);
      break;
    case NotifyBootId:
      session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
      StoreText(record_.bootLoaderId, text, DeviceRecord::kBootIdCap);
      TGZ48ProgrammingClick(nullptr);
      break;
    case NotifyRunBootstrapLoader:
      session.SessionStep = SessionStepTag::Programmed;
      ShowDurationEstimate(1);
      ProgramFirstFileIfDue(BootstrapLoaderFor(record_), session.SensorPresent, true);
      break;
    case NotifyBootMarker:
      session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
      session.BootMarker = static_cast<char>(ev.payload & 0xFF);
      LabXXXClick(nullptr);
      break;
    case NotifyRunClassicLoaderDirect:
      OkBitBtn->SetEnabled(false);
      record_.laboratoryFlag = true;
      session.SessionStep = SessionStepTag::Programmed;
      ShowDurationEstimate(1);
      if (ProgramFirstFile(BootstrapLoaderFor(record_), SensorUpdateFlag ? 1 : 0, false, true)) {
        ReportLine(MsgStoreNewData);
        SecTimer->SetEnabled(true);
        WaitProgressBar->SetPosition(1);
      }
      break;
    case NotifyRunWinCE:
      session.SessionStep = SessionStepTag::Programmed;
      ShowDurationEstimate(2);
      WinCEStarted = true;
      if (record_.deviceStartupVersion >= record_.packageStartupVersion &&
          record_.deviceStartupVersion > 0)
        RemoveStartupBlock();
      if (UpdateDue() || record_.deviceStartupVersion < record_.packageStartupVersion) {
        if (ProgramFirstFile(ProcedureKind::WinCE, 0, session.RepeatAllowed, false)) {
          ReportLine(MsgStoreNewData);
          session.SessionStep = SessionStepTag::Programmed;
          record_.fileList.clear();
          SetClock(false);
        }
      } else {
        SetClock(false);
      }
      break;
    case NotifySendHexStart:
      SendFollowUpIfDue(command::Program, 2);
      break;
    case NotifyRunEmfLoader:
      SecTimer->SetEnabled(false);
      WaitProgressBar->SetPosition(0);
      session.SessionStep = SessionStepTag::Programmed;
      ShowDurationEstimate(2);
      ProgramFirstFileIfDue(ProcedureKind::EmfLoader, session.RepeatAllowed, false);
      break;
    default:
      if (!reply::IsIdentity(ev.code)) return ev;
      // A value reply ("$") with an identity number is not an identity text.
      if (!isValue) OnIdentityReply(ev.code, text);
      break;
  }
  return EventQueue::ConsumeEvent(ev);
}

bool TUpdateForm::ProgramFirstFile(ProcedureKind kind, int variant, bool askFirst, bool syncFirst) {
  if (!RunProcedure(kind, variant, record_.firstProgramFile, askFirst, syncFirst)) {
    queue_.PostNotify(NotifyStepFailed);
    return false;
  }
  ProgrammingSucceeded();
  return true;
}

void TUpdateForm::ProgramFirstFileIfDue(ProcedureKind kind, bool askFirst, bool syncFirst) {
  if (UpdateDue())
    ProgramFirstFile(kind, SensorUpdateFlag ? 1 : 0, askFirst, syncFirst);
  else
    queue_.PostNotify(NotifySecondStage);
}

// The command that lets the instrument take its new firmware, or straight on to the second
// stage when nothing is to be programmed.
void TUpdateForm::SendFollowUpIfDue(const std::string& command, int estimateMode) {
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  ShowDurationEstimate(estimateMode);
  if (UpdateDue()) {
    SendToInstrument(command);
    Await(AwaitTag::Command, kCommandAnswerMs);
  } else {
    session.SessionStep = SessionStepTag::BasicLoader;
    queue_.PostNotify(NotifySecondStage);
  }
}

void TUpdateForm::StartSession() {
  if (ini_.singlePortMode) PortCount = 1;
  // Without a usable port a search would only wait out its time-outs: the user is told why,
  // and OK stays ready for the next attempt.
  if (CheckPorts(true) == 0) {
    outcome_ = Outcome::NoPort;
    OkBitBtn->SetEnabled(true);
    return;
  }
  timerPool_.StopTimer(session.SessionTimer);
  timerPool_.StopTimer(session.AckTimer);
  session = SessionState{};
  // In CommandMode the search's probe "A.1000" has already put the instrument into command mode.
  if (startMode_ == StartModeTag::CommandMode) session.SessionStep = SessionStepTag::Identify;
  parser_->SetIdentFrameSeen(false);
  parser_->SetBootMarkersWanted(false);
  record_.Clear();
  OkBitBtn->SetEnabled(false);
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  session.SessionTimer = timerPool_.StartTimer(kSessionTimeoutMs);
  WaitPanel->SetVisible(true);
  outcome_ = Outcome::Running;
  SearchStep(true);
}

// One step per acknowledgement; the step then moves one on. Steps from FurtherVersion on do
// nothing once the check refused the instrument.
void TUpdateForm::Sequencer() {
  using Step = SessionStepTag;
  const bool refused = session.SessionRefused;
  switch (session.SessionStep) {
    case Step::Probe:
      SendToInstrument(command::CommandMode);
      timerPool_.RestartTimer(session.SessionTimer);
      session.AwaitingAck = true;  // the search's timer still supervises
      break;
    case Step::Identify:
      SendToInstrument(IdentityCommand(session.IdentityStep));
      timerPool_.RestartTimer(session.SessionTimer);
      session.IdentityStep = 1;
      break;
    case Step::FurtherVersion:
      if (refused) break;
      if (record_.furtherVersionFile.size() >= 4) {
        ReportLine(MsgProgrammingName);
        if (RunExternalLoader(record_.furtherVersionFile) != 0) {
          queue_.PostNotify(NotifyStepFailed);
        } else {
          ExternalLoaderDone = true;
          SecTimer->SetEnabled(true);
          AwaitRestart();
        }
        ReportLine(MsgStoreNewData);
        WaitProgressBar->SetPosition(1);
      } else {
        // No further version file: straight on with the first program file.
        session.SessionStep = Step::FirstFileLoader;
        queue_.PostNotify(NotifyRunExternalLoader);
      }
      break;
    case Step::FollowUp:
      if (!refused) queue_.PostNotify(NotifySendFollowUp);
      break;
    case Step::FirstFileLoader:
      if (!refused) queue_.PostNotify(NotifyRunExternalLoader);
      break;
    case Step::SecondStage:
    case Step::Programmed:
      if (!refused) queue_.PostNotify(NotifySecondStage);
      break;
    case Step::BasicLoader:
      if (!refused) queue_.PostNotify(NotifyStartBasicLoader);
      break;
    case Step::Done:
      // The instrument is back after the second program file: nothing else follows, so the
      // session ends here rather than waiting for ever.
      if (session.SecondFileProgrammed) {
        session.SecondFileProgrammed = false;
        FinishSession();
      }
      break;
  }
  session.SessionStep = Next(session.SessionStep);
}

void TUpdateForm::SecondStage() {
  DeviceRecord& r = record_;
  if (SecondUpdateDue() && r.deviceSecondVersion > 2000) {
    UpdateStatusBar->SetPanelText(2, "19200");
    UpdateStatusBar->SetPanelText(3, "Version " + r.packageSecondVersion);
    wait.DelayTime(2000, true);
    SendToInstrument(command::SecondStage);
    Await(AwaitTag::SensorUpdate, kSensorUpdateMs);
    return;
  }
  if (session.SensorSoftwareFlag || parser_->IdentFrameSeen() || session.XxxFlag ||
      r.deviceSecondVersion >= r.packageSecondVersionNumber || r.secondProgramFile.size() <= 4) {
    FinishSession();
    return;
  }
  if (r.pcbNumber.find("22075") != std::string::npos && UpdateDue()) {
    WaitProgressBar->SetPosition(0);
    WaitProgressBar->SetMax(100);
    SecTimer->SetEnabled(true);
    wait.DelayTime(32000, true);
    SecTimer->SetEnabled(false);
    WaitProgressBar->SetPosition(0);
  }
  r.laboratoryFlag = false;
  r.noSensorFlag = r.deviceSecondVersion == 0 && !parser_->IdentFrameSeen();
  wait.DelayTime(3000, true);
  if (RunProcedure(ProcedureKind::ClassicBsl, 1, r.secondProgramFile,
                   WinCEStarted || !r.noSensorFlag, true)) {
    session.SecondFileProgrammed = true;
    AwaitRestart();
  } else {
    queue_.PostNotify(NotifySecondStageFailed);
  }
}

// What follows when nothing more is to be programmed: the file-list upload, or the end.
void TUpdateForm::FinishSession() {
  if (!record_.fileList.empty()) {
    StartFileUpload();
    session.SessionStep = SessionStepTag::Done;
  } else {
    EndSession(false);
  }
}

void TUpdateForm::ProgrammingSucceeded() {
  session.ProgrammingDone = true;
  AwaitRestart();
}

void TUpdateForm::AwaitRestart() {
  Await(AwaitTag::Restart, kRestartMs);
  if (session.AckWhileProgramming) {
    // The instrument was back before the end of its programming was seen.
    session.AckWhileProgramming = false;
    queue_.PostNotify(NotifyAck);
  }
}

void TUpdateForm::Await(AwaitTag what, std::int32_t ms) {
  session.AwaitingAck = true;
  session.Awaiting = what;
  timerPool_.StopTimer(session.AckTimer);
  session.AckTimer = timerPool_.StartTimer(ms);
}

void TUpdateForm::StopAwaiting() {
  session.AwaitingAck = false;
  session.AckTimer = timerPool_.StopTimer(session.AckTimer);
}

// The instrument stayed silent where the session waited for it: a failure with its reason
// and the retry on OK, never a wait without end.
void TUpdateForm::OnInstrumentSilent() {
  const AwaitTag what = session.Awaiting;
  StopAwaiting();
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
  const std::string uploading = upload_.active ? upload_.entry : std::string();
  if (upload_.active) {
    StopUpload();
    session.Retry = RetryTag::Upload;
  }
  ReportFailure(NotifyStepFailed);
  ReportLine(what == AwaitTag::Restart ? MsgNoRestart : MsgNoAnswer);
  if (!uploading.empty()) UpdateMemo->Add(Expand(FillX(CatalogueText(MsgUploadNotFinished), uploading)));
}

void TUpdateForm::OnInstrumentPortGone() {
  if (outcome_ != Outcome::Running) return;
  StopAwaiting();
  session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
  if (upload_.active) {
    StopUpload();
    session.Retry = RetryTag::Upload;
  }
  ReportFailure(NotifyStepFailed);
  ReportLine(MsgPortGone);
}

void TUpdateForm::EndSession(bool final) {
  // The success text needs an identified instrument, a passed check and, when an update was
  // due, a procedure that succeeded; anything else reaching here is an instrument's stray
  // reply, not the end of an update.
  if (!session.CheckPassed || session.Halted || (session.ProgrammingDue && !session.ProgrammingDone)) {
    LogLine("(no end of session: nothing was programmed yet)");
    return;
  }
  StopAwaiting();
  // The air-pressure dialogue below calls EndSession(false) again when it has finished: an
  // upload that ended before it still gets its "U.606".
  if (final) session.UploadFinished = true;
  final = session.UploadFinished;
  wait.DelayTime(3000, true);
  comport::TComPort* port = InstrumentPortObject();
  if (startMode_ == StartModeTag::Sensor && port) port->LoadLastV24Parameter();
  if (session.AirPressureIndex != -1) {
    queue_.AddHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
    WriteToInstrument(command::CommandMode);
    Await(AwaitTag::Command, kCommandAnswerMs);
    session.AwaitingAck = false;  // the air-pressure dialogue takes its acknowledgements
    return;
  }
  SendEndCommand();
  ReportLine(MsgDownloadSuccessful);
  SWStaticText->SetCaption(record_.packageVersion);
  OkBitBtn->SetEnabled(false);
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  SetTitleProgress("", -1000.0f);
  outcome_ = UpdateDue() ? Outcome::Succeeded : Outcome::NotNeeded;
  wait.DelayTime(1000, true);
  if (final) {
    SendToInstrument(command::UploadDone);
    wait.DelayTime(2000, true);
  }
  if (port) port->Close();
}

void TUpdateForm::ReportFailure(std::int32_t code) {
  StopAwaiting();
  session.Halted = true;
  UpdateMemo->Clear();
  UpdateMemo->Add(Expand(progDevice_.texts.AbortText(language_)));
  for (const std::string& line : failureDetails_) UpdateMemo->Add(line);
  failureDetails_.clear();
  OkBitBtn->SetEnabled(true);
  outcome_ = Outcome::Failed;
  if (code == NotifyStepFailed) queue_.AddHandler(kernel::Bind<&TUpdateForm::RetryOnOk>(), this);
}

kernel::Event TUpdateForm::RetryOnOk(kernel::EventQueue&, kernel::Event ev) {
  if (ev.kind != kernel::EvKey || ev.code != 13) return ev;
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::RetryOnOk>(), this);
  session.Halted = false;
  ReopenInstrumentPortIfGone();
  OkBitBtn->SetEnabled(false);
  UpdateMemo->Clear();
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  outcome_ = Outcome::Running;
  // A step of the device menu or the upload is repeated as it was; the FileType's retry
  // table would program another file or none.
  const RetryTag retry = session.Retry;
  session.Retry = RetryTag::ByFileType;
  switch (retry) {
    case RetryTag::Handheld:  // the device-menu handler is still there and takes it
      queue_.PostNotify(NotifyAdvance);
      break;
    case RetryTag::Laboratory:
      queue_.AddHandler(kernel::Bind<&TUpdateForm::DeviceMenuHandler>(), this);
      queue_.PostNotify(NotifyRunLaboratory);
      break;
    case RetryTag::Upload:  // again from the first file
      StartFileUpload();
      break;
    case RetryTag::ByFileType:
      if (!session.CheckPassed) {
        // The failure came before the instrument was identified (its port went away during
        // the identity dialogue): there is no procedure to repeat, OK starts the session afresh.
        StartSession();
      } else if (ExternalLoaderDone) {
        queue_.PostNotify(NotifyRunExternalLoader);
      } else {
        session.SessionStep = SessionStepTag::FurtherVersion;
        queue_.PostNotify(ByFileType(kRetryNotification, fileType_));
      }
      break;
  }
  return kernel::EventQueue::ConsumeEvent(ev);
}

void TUpdateForm::ShowDurationEstimate(int mode) {
  int n = UpdateDue() ? 2 : 0;
  if (mode == 2) n = 15;
  if (SecondUpdateDue()) n += 1;
  if (record_.furtherVersionFile.size() > 3) n += 2;
  if (SecondUpdateDue() && record_.deviceSecondVersion > 2000) n += 35;
  UpdateMemo->Clear();
  UpdateMemo->Add(Expand(FillX(CatalogueText(MsgDownloadMayLast), std::to_string(n))));
}

void TUpdateForm::SendToInstrument(const std::string& command, bool trace) {
  WriteToInstrument(command);
  if (trace) LogLine(command);
}

void TUpdateForm::WriteToInstrument(const std::string& command) {
  if (comport::TComPort* p = InstrumentPortObject()) p->Write(command.c_str(), -1, false);
}

void TUpdateForm::SendEndCommand() { SendToInstrument(EndCommandFor(fileType_)); }

void TUpdateForm::RemoveStartupBlock() {
  auto& list = record_.fileList;
  // Position 0 is the first program file: a block starts behind it, 0 means there is none.
  if (session.StartupFirst <= 0 || session.StartupLast < session.StartupFirst ||
      static_cast<std::size_t>(session.StartupFirst) >= list.size())
    return;
  std::size_t last = std::min<std::size_t>(static_cast<std::size_t>(session.StartupLast), list.size() - 1);
  list.erase(list.begin() + session.StartupFirst, list.begin() + static_cast<std::ptrdiff_t>(last) + 1);
}

// The Basic-Loader terminal is not run through RunProcedure: it has no run that ends within
// the event that starts it. The loader talks for minutes after it was started, and from then
// on every byte of the port is the terminal's until the window goes away; so the window makes
// it once, keeps it, and hears of its end through BasicLoaderEnded.
void TUpdateForm::StartBasicLoader() {
  if (basicLoader_) {
    LogLine("(the Basic-Loader terminal runs already)");
    return;
  }
  if (!session.CheckPassed) return;
  StopAwaiting();
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  failureDetails_.clear();
  // Set first: an unusable image ends the terminal within its construction.
  basicLoaderRunning_ = true;
  basicLoader_ = std::make_unique<loaders::BasicLoaderProcedure>(
      ProcedureContext(), [this](loaders::BasicLoaderProcedure::Result result) {
        BasicLoaderEnded(result == loaders::BasicLoaderProcedure::Result::Programmed);
      });
}

// The terminal's own texts tell the user to disconnect the instrument and to leave the
// program; nothing of the session follows.
void TUpdateForm::BasicLoaderEnded(bool programmed) {
  basicLoaderRunning_ = false;
  newStartNeeded_ = true;
  session.ProgrammingDone = programmed;
  outcome_ = programmed ? Outcome::Succeeded : Outcome::Failed;
  OkBitBtn->SetEnabled(false);
  SecTimer->SetEnabled(false);
}

bool TUpdateForm::BasicLoaderImageUsable() {
  const std::string problem =
      loaders::BasicLoaderProcedure::CheckImage(programFolder_, record_.bootCharacter, language_);
  if (problem.empty()) return true;
  ReportFailure(NotifySecondStageFailed);
  if (platform::HasApp())
    platform::App().MessageBox(Expand(problem), " Error ", platform::BoxIcon::Error, platform::BoxButtons::Ok);
  UpdateMemo->Add(Expand(problem));
  return false;
}

kernel::Event TUpdateForm::AirPressureHandler(kernel::EventQueue&, kernel::Event ev) {
  if (ev.kind != kernel::EvNotify || ev.code != NotifyAck) return ev;
  timerPool_.RestartTimer(session.AckTimer);
  if (session.AirPressureIndex == -2) {
    WriteToInstrument(EndCommandFor(fileType_));
    session.AirPressureIndex = -1;
  } else if (session.AirPressureIndex == -1) {
    WriteToInstrument(EndCommandFor(fileType_));
    queue_.RemoveHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
    StopAwaiting();
    EndSession(false);
  } else {
    WriteToInstrument(AirPressureCommand(session.AirPressureIndex));
    session.AirPressureIndex = -2;
  }
  return kernel::EventQueue::ConsumeEvent(ev);
}

}  // namespace update
