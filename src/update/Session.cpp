// The update session: one attempt from the OK button to the end text, carried by the
// session handler that stays last in the handler chain.
#include <cstdio>

#include "comport/Comport.h"
#include "platform/Application.h"
#include "update/AirPressure.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;


namespace {
constexpr std::int32_t kSessionTimeoutMs = 6000;

// The notification that starts the procedure of each FileType after a successful check.
constexpr std::int32_t kProcedureNotification[] = {NotifySendFollowUp, NotifyRunBootstrapLoader,
                                                   NotifyRunWinCE, NotifySendHexStart,
                                                   NotifyRunEmfLoader};
// What a retry on OK repeats, by FileType.
constexpr std::int32_t kRetryNotification[] = {NotifyAdvance, NotifyRunClassicLoaderDirect,
                                               NotifyRunWinCE, NotifyAdvance, NotifyRunEmfLoader};

std::int32_t ByFileType(const std::int32_t (&table)[5], std::int32_t fileType) {
  return fileType >= 0 && fileType < 5 ? table[fileType] : table[0];
}
}  // namespace

std::int32_t ProcedureNotificationFor(std::int32_t fileType) {
  return ByFileType(kProcedureNotification, fileType);
}

const char* EndCommandFor(std::int32_t fileType) {
  return fileType == 1 ? "A.1121\r\n" : "A.1111\r\n";
}

bool TUpdateForm::UpdateDue() const {
  const DeviceRecord& r = record_;
  return r.deviceVersion < r.packageVersionNumber ||
         (r.deviceVersion == r.packageVersionNumber && RepeatAllowed);
}

bool TUpdateForm::SecondUpdateDue() const {
  const DeviceRecord& r = record_;
  return r.deviceSecondVersion < r.packageSecondVersionNumber ||
         (r.deviceSecondVersion == r.packageSecondVersionNumber && RepeatAllowed);
}

kernel::Event TUpdateForm::SessionHandler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind == kernel::EvKey) {
    if (ev.code != 13) return ev;
    StartSession();
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind == kernel::EvTimer) {
    if (SessionTimer == 0 || ev.code != SessionTimer) return ev;
    OnSessionTimer();
    return EventQueue::ConsumeEvent(ev);
  }
  if (ev.kind != kernel::EvNotify) return ev;

  // A value notification carries a pointer to the reply value, never a text.
  const bool isValue = parser_->IsValuePayload(ev.payload);
  const char* text = isValue ? "" : reinterpret_cast<const char*>(ev.payload);
  if (!text) text = "";

  switch (ev.code) {
    case NotifyRxData:
      parser_->ReadReplies(static_cast<int>(ev.payload));
      break;
    case 23: case 203: case 2013:
    case 20: case 200: case 2010:
    case 21: case 201: case 2011:
    case 25: case 205:
      if (isValue) return EventQueue::ConsumeEvent(ev);
      OnIdentityReply(ev.code, text);
      break;
    case 30:
      if (startMode_ == 2) {
        SessionStep = 8;
        EndSession(false);
      } else {
        ReportLine(MsgStoreNewData);
        wait.DelayTime(1000, false);
        SetClock(true);
      }
      break;
    case 31:
      SessionStep = 8;
      EndSession(false);
      break;
    case 208:
      record_.bootCharacter = text[0];
      SendToInstrument("A.1220\r\n");
      break;
    case 262:
      SensorSoftwareFlag = true;
      break;
    case 920:
      if (record_.deviceNumber.find("20363") != std::string::npos && record_.deviceVersion < 1050) {
        SendToInstrument("A.1500\r\n");
      } else {
        ++SessionStep;
        queue_.PostNotify(NotifySendFollowUp);
        NoDevicePrompts = 0;
      }
      break;
    case NotifyAck:
    case NotifyAdvance:
      Sequencer();
      break;
    case NotifyStepFailed:
    case NotifySecondStageFailed:
      ReportFailure(ev.code);
      break;
    case NotifyExternalLoaderDone:
      if (fileType_ == 0 && startMode_ == 0) {
        ReportLine(MsgStoreNewData);
        wait.DelayTime(12000, false);
        SetClock(true);
      }
      break;
    case NotifySendFollowUp:
      SendFollowUpIfDue(FollowUpCommand, 0);
      break;
    case NotifySecondStage:
      SecondStage();
      break;
    case NotifyStartBasicLoader:
      if (!RunProcedure(ProcedureKind::BasicLoader, 0, record_.firstProgramFile, false, false))
        queue_.PostNotify(NotifyStepFailed);
      break;
    case NotifyRunExternalLoader:
      SecTimer->SetEnabled(false);
      WaitProgressBar->SetPosition(0);
      queue_.PostNotify(RunExternalLoader(record_.firstProgramFile) != 0 ? NotifyStepFailed
                                                                         : NotifyExternalLoaderDone);
      break;
    case NotifyBootId:
      SessionTimer = timerPool_.StopTimer(SessionTimer);
      StoreText(record_.bootLoaderId, text, DeviceRecord::kBootIdCap);
      BootModeMenuCommand(false);
      break;
    case NotifyRunBootstrapLoader:
      SessionStep = 7;
      ShowDurationEstimate(1);
      if (UpdateDue()) {
        ProcedureKind kind =
            record_.processorType == 21560 ? ProcedureKind::Bsl54xx : ProcedureKind::ClassicBsl;
        if (!RunProcedure(kind, SensorUpdateFlag ? 1 : 0, record_.firstProgramFile, SensorPresent,
                          true))
          queue_.PostNotify(NotifyStepFailed);
      } else {
        queue_.PostNotify(NotifySecondStage);
      }
      break;
    case NotifyBootMarker:
      SessionTimer = timerPool_.StopTimer(SessionTimer);
      BootMarker = static_cast<char>(ev.payload & 0xFF);
      BootModeMenuCommand(true);
      break;
    case NotifyRunClassicLoaderDirect:
      OkBitBtn->SetEnabled(false);
      record_.laboratoryFlag = true;
      SessionStep = 7;
      ShowDurationEstimate(1);
      if (RunProcedure(ProcedureKind::ClassicBsl, SensorUpdateFlag ? 1 : 0,
                       record_.firstProgramFile, false, true)) {
        ReportLine(MsgStoreNewData);
        SecTimer->SetEnabled(true);
        WaitProgressBar->SetPosition(1);
      } else {
        queue_.PostNotify(NotifyStepFailed);
      }
      break;
    case NotifyRunWinCE:
      SessionStep = 7;
      ShowDurationEstimate(2);
      WinCEStarted = true;
      if (record_.deviceStartupVersion >= record_.packageStartupVersion &&
          record_.deviceStartupVersion > 0)
        RemoveStartupBlock();
      if (UpdateDue() || record_.deviceStartupVersion < record_.packageStartupVersion) {
        if (comport::TComPort* p = InstrumentPortObject()) p->ChangeV24TimeOut(-1, -1, -1, 0);
        if (RunProcedure(ProcedureKind::WinCE, 0, record_.firstProgramFile, RepeatAllowed, false)) {
          ReportLine(MsgStoreNewData);
          SessionStep = 7;
          record_.fileList.clear();
          SetClock(false);
        } else {
          queue_.PostNotify(NotifyStepFailed);
        }
      } else {
        SetClock(false);
      }
      break;
    case NotifySendHexStart:
      SendFollowUpIfDue("A.1200\r\n", 2);
      break;
    case NotifyRunEmfLoader:
      SecTimer->SetEnabled(false);
      WaitProgressBar->SetPosition(0);
      SessionStep = 7;
      ShowDurationEstimate(2);
      if (UpdateDue()) {
        if (comport::TComPort* p = InstrumentPortObject()) p->ChangeV24TimeOut(-1, -1, -1, 0);
        if (!RunProcedure(ProcedureKind::EmfLoader, SensorUpdateFlag ? 1 : 0,
                          record_.firstProgramFile, RepeatAllowed, false))
          queue_.PostNotify(NotifyStepFailed);
      } else {
        queue_.PostNotify(NotifySecondStage);
      }
      break;
    default:
      return ev;
  }
  return EventQueue::ConsumeEvent(ev);
}

// The command that lets the instrument take its new firmware, or straight on to the second
// stage when nothing is to be programmed.
void TUpdateForm::SendFollowUpIfDue(const std::string& command, int estimateMode) {
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  ShowDurationEstimate(estimateMode);
  if (UpdateDue()) {
    SendToInstrument(command);
  } else {
    SessionStep = 6;
    queue_.PostNotify(NotifySecondStage);
  }
}

void TUpdateForm::StartSession() {
  if (ini_.singlePortMode) PortCount = 1;
  SessionStep = startMode_ == 1 ? 1 : 0;
  FollowUpCommand = "A.1200\r\n";
  parser_->SetIdentFrameSeen(false);
  BootMarker = 0;
  SessionRefused = false;
  LineErrorSeen = false;
  SensorSoftwareFlag = false;
  repeatDeclined_ = false;
  record_.Clear();
  OkBitBtn->SetEnabled(false);
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  SessionTimer = timerPool_.StartTimer(kSessionTimeoutMs);
  WaitPanel->SetVisible(true);
  IdentityStep = 0;
  AirPressureIndex = -1;
  BaudIndex = -1;
  outcome_ = Outcome::Running;
  SearchStep(true);
}

void TUpdateForm::Sequencer() {
  if (SessionStep == 0) {
    SendToInstrument("A.1000\r\n");
    timerPool_.RestartTimer(SessionTimer);
  }
  if (SessionStep == 1) {
    SendToInstrument(IdentityCommand(IdentityStep));
    timerPool_.RestartTimer(SessionTimer);
    IdentityStep = 1;
  }
  if (SessionStep == 2 && !SessionRefused) {
    if (record_.furtherVersionFile.size() >= 4) {
      ReportLine(MsgProgrammingName);
      if (RunExternalLoader(record_.furtherVersionFile) != 0) {
        queue_.PostNotify(NotifyStepFailed);
      } else {
        ExternalLoaderDone = true;
        SecTimer->SetEnabled(true);
      }
      ReportLine(MsgStoreNewData);
      WaitProgressBar->SetPosition(1);
    } else {
      SessionStep = 4;
    }
  }
  if (SessionStep == 3 && !SessionRefused) queue_.PostNotify(NotifySendFollowUp);
  if (SessionStep == 4 && !SessionRefused) queue_.PostNotify(NotifyRunExternalLoader);
  if (SessionStep == 5 && !SessionRefused) queue_.PostNotify(NotifySecondStage);
  if (SessionStep == 6 && !SessionRefused) queue_.PostNotify(NotifyStartBasicLoader);
  if (SessionStep == 7 && !SessionRefused) queue_.PostNotify(NotifySecondStage);
  ++SessionStep;
}

void TUpdateForm::SecondStage() {
  DeviceRecord& r = record_;
  if (SecondUpdateDue() && r.deviceSecondVersion > 2000) {
    UpdateStatusBar->SetPanelText(2, "19200");
    UpdateStatusBar->SetPanelText(3, "Version " + r.packageSecondVersion);
    wait.DelayTime(2000, true);
    SendToInstrument("A.2005\r\n");
    return;
  }
  if (SensorSoftwareFlag || parser_->IdentFrameSeen() || XxxFlag ||
      r.deviceSecondVersion >= r.packageSecondVersionNumber || r.secondProgramFile.size() <= 4) {
    if (!r.fileList.empty()) {
      StartFileUpload();
      SessionStep = 8;
    } else {
      EndSession(false);
    }
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
  if (!RunProcedure(ProcedureKind::ClassicBsl, 1, r.secondProgramFile,
                    WinCEStarted || !r.noSensorFlag, true))
    queue_.PostNotify(NotifySecondStageFailed);
}

void TUpdateForm::EndSession(bool final) {
  wait.DelayTime(3000, true);
  comport::TComPort* port = InstrumentPortObject();
  if (startMode_ == 2 && port) port->LoadLastV24Parameter();
  if (AirPressureIndex != -1) {
    queue_.AddHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
    WriteToInstrument("A.1000\r\n");
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
    SendToInstrument("U.606\r\n");
    wait.DelayTime(2000, true);
  }
  if (port) port->Close();
}

void TUpdateForm::ReportFailure(std::int32_t code) {
  UpdateMemo->Clear();
  UpdateMemo->Add(Expand(progDevice_.texts.AbortText(language_)));
  OkBitBtn->SetEnabled(true);
  outcome_ = Outcome::Failed;
  if (code == NotifyStepFailed) queue_.AddHandler(kernel::Bind<&TUpdateForm::RetryOnOk>(), this);
}

kernel::Event TUpdateForm::RetryOnOk(kernel::EventQueue&, kernel::Event ev) {
  if (ev.kind != kernel::EvKey || ev.code != 13) return ev;
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::RetryOnOk>(), this);
  if (ExternalLoaderDone) {
    queue_.PostNotify(NotifyRunExternalLoader);
  } else {
    SessionStep = 2;
    queue_.PostNotify(ByFileType(kRetryNotification, fileType_));
  }
  OkBitBtn->SetEnabled(false);
  UpdateMemo->Clear();
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  outcome_ = Outcome::Running;
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
  if (StartupFirst < 0 || StartupLast < StartupFirst ||
      static_cast<std::size_t>(StartupFirst) >= list.size())
    return;
  std::size_t last = std::min<std::size_t>(static_cast<std::size_t>(StartupLast), list.size() - 1);
  list.erase(list.begin() + StartupFirst, list.begin() + static_cast<std::ptrdiff_t>(last) + 1);
}

kernel::Event TUpdateForm::AirPressureHandler(kernel::EventQueue&, kernel::Event ev) {
  if (ev.kind != kernel::EvNotify || ev.code != NotifyAck) return ev;
  if (AirPressureIndex == -2) {
    WriteToInstrument(EndCommandFor(fileType_));
    AirPressureIndex = -1;
  } else if (AirPressureIndex == -1) {
    WriteToInstrument(EndCommandFor(fileType_));
    queue_.RemoveHandler(kernel::Bind<&TUpdateForm::AirPressureHandler>(), this);
    EndSession(false);
  } else {
    WriteToInstrument(AirPressureCommand(AirPressureIndex));
    AirPressureIndex = -2;
  }
  return kernel::EventQueue::ConsumeEvent(ev);
}

}  // namespace update
