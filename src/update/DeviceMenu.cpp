// The device menu: the handheld and laboratory commands, which program a package row without
// the identity dialogue, and the handler that carries out the programming they post. The
// session calls the commands without a menu item for an instrument that announced itself in
// boot mode (the handheld loader's identification, or a bootstrap loader's marker).
#include "comport/Comport.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "procedure/Infotext.h"
#include "procedure/Notifications.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;

namespace {
// The handheld loader's firmware starts and stores its data after the loader program ended;
// the laboratory instrument restarts after its loader started the firmware.
constexpr std::uint32_t kHandheldStoreMs = 9000;
constexpr std::uint32_t kLaboratoryRestartMs = 3000;
constexpr const char* kLaboratoryImage = "LABXXX.TXT";
}  // namespace

void TUpdateForm::TGZ48ProgrammingClick(platform::Component* sender) {
  TGZ48Programming->SetEnabled(false);
  const auto* item = dynamic_cast<const platform::MenuItem*>(sender);
  DeviceCommand(false, item ? static_cast<std::size_t>(std::max(item->Tag, 0)) : 0);
}

void TUpdateForm::LabXXXClick(platform::Component* sender) {
  LabXXX->SetEnabled(false);
  const auto* item = dynamic_cast<const platform::MenuItem*>(sender);
  std::size_t row = item ? static_cast<std::size_t>(std::max(item->Tag, 0)) : 0;
  // A 5xx laboratory instrument answers with 'Q'; its row is the second one.
  if (session.BootMarker == 'Q' && progDevice_.table.Count() > 1) row = 1;
  DeviceCommand(true, row);
}

// A command from the menu outside a session starts one of its own, without the search: the
// instrument is taken to be on the port found before, or else on the first port.
void TUpdateForm::BeginDeviceSession() {
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::RetryOnOk>(), this);
  timerPool_.StopTimer(session.AckTimer);
  session = SessionState{};
  parser_->SetIdentFrameSeen(false);
  parser_->SetBootMarkersWanted(false);
  record_.Clear();
  SecTimer->SetEnabled(false);
  WaitProgressBar->SetPosition(0);
  if (instrumentPort_ < 0 && PortCount > 0 && PortTable[0]) SetInstrumentPort(0, ComNumbers[0]);
  ReopenInstrumentPortIfGone();
  comport::TComPort* port = InstrumentPortObject();
  if (port && !port->IsOpen()) port->Open(this, 0, instrumentCom_, true);
}

void TUpdateForm::DeviceCommand(bool laboratory, std::size_t row) {
  // Not in the middle of a programming step or an upload: the command would run a second
  // procedure inside the first one.
  if (procedureRunning_ || deviceMenuBusy_ || upload_.active) {
    LogLine("(device command ignored: a programming step is running)");
    return;
  }
  if (outcome_ != Outcome::Running) BeginDeviceSession();
  outcome_ = Outcome::Running;
  Sprache->SetEnabled(false);
  OkBitBtn->SetEnabled(false);
  // No search goes on and no acknowledgement leads the sequencer: the handler below does.
  session.SessionTimer = timerPool_.StopTimer(session.SessionTimer);
  StopAwaiting();
  WaitPanel->SetVisible(false);

  const DeviceTable& table = progDevice_.table;
  if (row >= table.Count()) row = 0;
  if (table.Count() > 0) {
    const DeviceRow& d = table.rows[row];
    DeviceRecord& r = record_;
    StoreText(r.pcbNumber, d.deviceNrDef, DeviceRecord::kPcbCap);
    StoreText(r.firstProgramFile, d.progFile2, DeviceRecord::kFileCap);
    StoreText(r.furtherVersionFile, d.progFile1, DeviceRecord::kFileCap);
    StoreText(r.deviceNumber, d.deviceNr, DeviceRecord::kDeviceNrCap);
    StoreText(r.deviceName, d.deviceName, DeviceRecord::kNameCap);
    StoreText(r.secondProgramFile, d.progFile3, DeviceRecord::kFileCap);
    if (!laboratory) StoreText(r.definitionFile, d.progDefFile, DeviceRecord::kDefFileCap);
  }
  const std::string menuDefinitionFile = record_.definitionFile;
  if (!CheckInstrument()) {
    RefuseDeviceCommand();
    return;
  }
  // The handheld command programs the definition file of the row it was given; the check
  // would put another row's there.
  if (!laboratory) record_.definitionFile = menuDefinitionFile;
  // What is programmed is the check's last part: a package that lacks it, or holds it empty
  // or damaged, is refused before anything is sent.
  if (laboratory) {
    StoreText(record_.firstProgramFile, LaboratoryFile(), DeviceRecord::kFileCap);
    if (!PackageFileUsable(record_.firstProgramFile,
                           LaboratoryUses5xx() ? PackageImage::Bsl5xx : PackageImage::Classic)) {
      RefuseDeviceCommand();
      return;
    }
  } else if (!PackageFileUsable(record_.definitionFile, PackageImage::None)) {
    RefuseDeviceCommand();
    return;
  }
  session.CheckPassed = true;
  session.ProgrammingDue = true;
  if (laboratory) record_.laboratoryFlag = true;
  queue_.PostNotify(laboratory ? NotifyRunLaboratory : NotifyAdvance);
  queue_.AddHandler(kernel::Bind<&TUpdateForm::DeviceMenuHandler>(), this);
  if (table.Count() > 1) {
    record_.deviceName = "Device";
    NameStaticText->SetCaption("Device");
    PCBStaticText->SetCaption("");
  }
  PumpEvents();
}

// The check refused the row (it said why): the session is idle again; OK starts a new one.
void TUpdateForm::RefuseDeviceCommand() {
  session.SessionRefused = true;
  session.Halted = true;
  outcome_ = session.RepeatDeclined ? Outcome::NotNeeded : Outcome::Refused;
  OkBitBtn->SetEnabled(true);
}

std::string TUpdateForm::LaboratoryFile() const {
  return record_.definitionFile.size() > 4 ? record_.definitionFile : std::string(kLaboratoryImage);
}

bool TUpdateForm::LaboratoryUses5xx() const {
  return record_.processorType == 21560 || (session.BootMarker == 'Q' && parser_->IdentFrameSeen());
}

kernel::Event TUpdateForm::DeviceMenuHandler(kernel::EventQueue&, kernel::Event ev) {
  using kernel::EventQueue;
  if (ev.kind != kernel::EvNotify) return ev;
  switch (ev.code) {
    case NotifyAdvance:
      HandheldProgramming();
      return EventQueue::ConsumeEvent(ev);
    case NotifyRunLaboratory:
      LaboratoryProgramming();
      return EventQueue::ConsumeEvent(ev);
    case reply::StoreData:
    case NotifyAck:
      // The instrument's own restart while the programming or its wait still runs is part of
      // that step; after a failure only the user's OK goes on.
      if (deviceMenuBusy_) {
        LogLine("! <- (restart during the programming)");
        return EventQueue::ConsumeEvent(ev);
      }
      if (session.Halted) return ev;
      queue_.RemoveHandler(kernel::Bind<&TUpdateForm::DeviceMenuHandler>(), this);
      queue_.PostKey(13);
      UpdateMemo->Clear();
      return EventQueue::ConsumeEvent(ev);
    case reply::SensorCheck:
      return EventQueue::ConsumeEvent(ev);
    case NotifyStepFailed:
    case NotifySecondStageFailed:
      ReportFailure(ev.code);
      return EventQueue::ConsumeEvent(ev);
    default:
      return ev;
  }
}

// The handheld row's definition file through the external loader of the package's FileType.
// Afterwards the instrument runs that firmware: a new session (as if OK had been pressed)
// identifies it and updates it the usual way.
void TUpdateForm::HandheldProgramming() {
  deviceMenuBusy_ = true;
  ReportLine(MsgProgrammingName);
  OkBitBtn->SetEnabled(false);
  if (RunExternalLoader(record_.definitionFile) != 0) {
    deviceMenuBusy_ = false;
    session.Retry = RetryTag::Handheld;
    queue_.PostNotify(NotifyStepFailed);
    return;
  }
  ReportLine(MsgStoreNewData);
  SecTimer->SetEnabled(true);
  WaitProgressBar->SetPosition(1);
  wait.DelayTime(kHandheldStoreMs, true);
  UpdateMemo->Clear();
  SecTimer->SetEnabled(false);
  ExternalLoaderDone = true;
  deviceMenuBusy_ = false;
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::DeviceMenuHandler>(), this);
  queue_.PostKey(13);
}

// The laboratory image straight through the bootstrap loader, which the instrument is in (or
// is taken to be in): no instrument dialogue, the password from the default vector. The
// loader's read-back of every block and the start of the firmware are the proof that the
// instrument holds the image; the session then ends (after the file-list upload, if any).
void TUpdateForm::LaboratoryProgramming() {
  OkBitBtn->SetEnabled(false);
  deviceMenuBusy_ = true;
  const ProcedureKind kind = LaboratoryUses5xx() ? ProcedureKind::Bsl54xx : ProcedureKind::ClassicBsl;
  StoreText(record_.firstProgramFile, LaboratoryFile(), DeviceRecord::kFileCap);
  const bool ok = RunProcedure(kind, SensorUpdateFlag ? 1 : 0, record_.firstProgramFile, false, false);
  if (ok) {
    session.ProgrammingDone = true;
    ReportLine(MsgStoreNewData);
    WaitProgressBar->SetPosition(1);
    if (comport::TComPort* port = InstrumentPortObject())
      port->ChangeV24Parameter(comport::B__4800, comport::S_2, comport::NoParity, true);
    wait.DelayTime(kLaboratoryRestartMs, true);
  } else {
    session.Retry = RetryTag::Laboratory;
    queue_.PostNotify(NotifyStepFailed);
  }
  deviceMenuBusy_ = false;
  queue_.RemoveHandler(kernel::Bind<&TUpdateForm::DeviceMenuHandler>(), this);
  if (ok) {
    session.SessionStep = SessionStepTag::Done;
    FinishSession();
  }
}

}  // namespace update
