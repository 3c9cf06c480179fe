#include "update/Updatemain.h"

#include <memory>

#include "comport/Comport.h"
#include "language/Sprachdlg.h"
#include "loaders/Bsl_54xx_unit.h"
#include "loaders/Bsl_unit.h"
#include "loaders/Emf_loadunit.h"
#include "loaders/Termprogmain.h"
#include "loaders/Winceprog_unit.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/SerialDevice.h"
#include "update/Discovery.h"
#include "update/MenuTexts.h"
#include "update/AirPressure.h"
#include "procedure/Notifications.h"

namespace update {

using namespace procedure;


namespace {
constexpr std::uint32_t kBlue = 0x0000FF;
constexpr std::uint32_t kInfoColour = 0xFFFFE1;  // the tool-tip yellow of information fields
}  // namespace

TUpdateForm::TUpdateForm() : TUpdateForm(Options{}) {}

TUpdateForm::TUpdateForm(const Options& options)
    : platform::Form(nullptr, "UpdateForm"), options_(options) {
  BuildComponents();
  if (platform::HasApp()) platform::App().FormCreated(*this);
  if (!options_.bareWindow) StartUp();
}

TUpdateForm::~TUpdateForm() {
  basicLoader_.reset();
  ClosePorts();
  // Timers must stop firing into a form that is going away.
  for (platform::Timer* t : PoolTimers)
    if (t) t->SetEnabled(false);
  if (SecTimer) SecTimer->SetEnabled(false);
  if (TitleTimer) TitleTimer->SetEnabled(false);
}

void TUpdateForm::BuildComponents() {
  SetCaption("Download :");
  SetBounds(0, 0, 547, 494);
  KeyPreview = true;
  Centered = true;
  OnCloseQuery = [this] { return FormCloseQuery(); };
  OnClose = [this] { FormClose(); };

  MainBevel = new platform::Bevel(this, this, "MainBevel");
  MainBevel->SetBounds(0, 0, 547, 1);
  MainBevel->SetAlign(platform::Align::Top);

  UpdateGroupBox = new platform::GroupBox(this, this, "UpdateGroupBox");
  UpdateGroupBox->SetBounds(8, 6, 531, 112);
  UpdateGroupBox->SetCaption("Ger\xE4t");
  // A larger window gives the extra width to the group box and the name, the extra height to
  // the log; the progress bar and the buttons stay below it, the status bar at the bottom.
  constexpr unsigned kWide = platform::AnchorLeft | platform::AnchorTop | platform::AnchorRight;
  UpdateGroupBox->Anchors = kWide;

  auto label = [this](const char* name, const char* caption, int top) {
    auto* l = new platform::Label(this, UpdateGroupBox, name);
    l->SetBounds(12, top + 2, 92, 16);
    l->SetCaption(caption);
    return l;
  };
  auto field = [this](const char* name, int top, int width) {
    auto* s = new platform::StaticText(this, UpdateGroupBox, name);
    s->SetBounds(110, top, width, 18);
    s->Sunken = true;
    s->Color = kInfoColour;
    return s;
  };
  NameLabel = label("NameLabel", "Name:", 20);
  NameStaticText = field("NameStaticText", 20, 408);
  NameStaticText->Anchors = kWide;
  SerLabel = label("SerLabel", "Seriennummer:", 42);
  SerStaticText = field("SerStaticText", 42, 160);
  PCBLabel = label("PCBLabel", "PCB Nummer :", 64);
  PCBStaticText = field("PCBStaticText", 64, 160);
  SWLabel = label("SWLabel", "Version:", 86);
  SWStaticText = field("SWStaticText", 86, 160);

  DLLabel = new platform::Label(this, UpdateGroupBox, "DLLabel");
  DLLabel->SetBounds(290, 42, 120, 16);
  DLLabel->SetCaption("Download-Liste");
  DLLabel->SetVisible(false);
  DLListBox = new platform::ListBox(this, UpdateGroupBox, "DLListBox");
  DLListBox->SetBounds(290, 58, 228, 46);
  DLListBox->SetVisible(false);

  UpdateMemo = new platform::Memo(this, this, "UpdateMemo");
  UpdateMemo->SetBounds(8, 124, 531, 252);
  UpdateMemo->Anchors = kWide | platform::AnchorBottom;

  WaitProgressBar = new platform::ProgressBar(this, this, "WaitProgressBar");
  WaitProgressBar->SetBounds(8, 382, 531, 16);
  WaitProgressBar->Anchors = platform::AnchorLeft | platform::AnchorRight | platform::AnchorBottom;
  WaitProgressBar->SetMax(40);

  KeyPanel = new platform::Panel(this, this, "KeyPanel");
  KeyPanel->SetBounds(0, 404, 547, 46);
  KeyPanel->SetAlign(platform::Align::Bottom);

  OkBitBtn = new platform::BitBtn(this, KeyPanel, "OkBitBtn");
  OkBitBtn->SetBounds(236, 10, 75, 25);
  OkBitBtn->Anchors = platform::AnchorTop;  // centred in its panel
  OkBitBtn->SetCaption("OK");
  OkBitBtn->OnClick = [this](platform::Component* s) { OkBitBtnClick(s); };

  SpeedButton1 = new platform::SpeedButton(this, KeyPanel, "SpeedButton1");
  SpeedButton1->SetBounds(8, 10, 23, 22);
  SpeedButton1->SetVisible(false);
  SpeedButton1->OnClick = [this](platform::Component* s) { SpeedButton1Click(s); };

  InfoStaticText = new platform::StaticText(this, KeyPanel, "InfoStaticText");
  InfoStaticText->SetBounds(400, 16, 140, 17);
  InfoStaticText->Anchors = platform::AnchorTop | platform::AnchorRight;
  InfoStaticText->SetCaption("InfoStaticText");
  InfoStaticText->SetVisible(false);

  UpdateStatusBar = new platform::StatusBar(this, this, "UpdateStatusBar");
  UpdateStatusBar->SetBounds(0, 474, 547, 20);
  UpdateStatusBar->SetAlign(platform::Align::Bottom);
  UpdateStatusBar->AddPanel(200, "Com X");
  UpdateStatusBar->AddPanel(50);
  UpdateStatusBar->AddPanel(50);
  UpdateStatusBar->AddPanel(120);
  UpdateStatusBar->AddPanel(80);

  WaitPanel = new platform::Panel(this, this, "WaitPanel");
  WaitPanel->SetBounds(98, 200, 351, 80);
  WaitPanel->Anchors = 0;  // centred
  WaitPanel->SetCaption("Bitte warten ...");
  WaitPanel->SetFont({32, true, kBlue});
  WaitPanel->SetVisible(false);

  StopPanel = new platform::Panel(this, this, "StopPanel");
  StopPanel->SetBounds(98, 210, 351, 60);
  StopPanel->Anchors = 0;
  StopPanel->SetCaption("Update wird beendet ...");
  StopPanel->SetFont({21, false, kBlue});
  StopPanel->SetVisible(false);

  BuildMenu();

  for (int i = 0; i < 5; ++i) {
    auto* t = new platform::Timer(this, "Timer" + std::to_string(i + 1));
    t->Tag = i + 1;
    t->OnTimer = [this](platform::Timer& s) { TimerIntervall(s); };
    PoolTimers[static_cast<std::size_t>(i)] = t;
  }
  SecTimer = new platform::Timer(this, "SecTimer");
  SecTimer->SetInterval(500);
  SecTimer->OnTimer = [this](platform::Timer& s) { SecTimerTimer(s); };
  TitleTimer = new platform::Timer(this, "TitleTimer");
  TitleTimer->SetInterval(300);
  TitleTimer->OnTimer = [this](platform::Timer& s) { TitleTimerTimer(s); };

  OpenProgFileDialog = new platform::OpenDialog(this, "OpenProgFileDialog");

  UpdateSprachDialog = new language::TLanguage(this, "UpdateSprachDialog");
  UpdateSprachDialog->SetDialogfile("own.lng");

  // The form's own port: 8 data bits, 2 stop bits, 4800 baud, NUL bytes discarded.
  UpdateCom = new comport::TComPort(this, "UpdateCom");
  {
    comport::V24ParameterTag rec = UpdateCom->GetV24Parameter();
    rec.DatenBits = comport::D_8;
    rec.StopBits = comport::S_2;
    rec.Baudrate = comport::B__4800;
    rec.TXTimeOut = 10000;
    rec.TXTimeOutproChar = 1;
    rec.KeinNullZeichen = true;
    UpdateCom->InitParameter(&rec, false);
    UpdateCom->Datei = "ComData.cfg";
  }
  parser_ = std::make_unique<ReplyParser>(*this, queue_);
  OnKeyUp = [this](int key, unsigned shift) { FormKeyUp(key, shift); };

  wait.SetEnable(true);
  wait.SetDividend(1);

  timerPool_.Init({PoolTimers.begin(), PoolTimers.end()});
  UpdatePanelHints();
}

void TUpdateForm::BuildMenu() {
  MainMenu1 = new platform::MainMenu(this, "MainMenu1");
  Menu = MainMenu1;
  platform::MenuItem& root = MainMenu1->Root();
  auto item = [this](platform::MenuItem* parent, const char* name, const char* caption) {
    return new platform::MenuItem(this, parent, name, caption);
  };
  Bearbeiten = item(&root, "Bearbeiten", "&Datei");
  TGZ48Programming = item(Bearbeiten, "TGZ48Programming", "&Programmieren");
  TGZ48Programming->SetVisible(false);
  DevMultiZ48 = item(TGZ48Programming, "DevMultiZ48", "&Multi Z48 ...");
  DevpHZ48 = item(TGZ48Programming, "DevpHZ48", "&pH Z48 ...");
  DevOxiZ48 = item(TGZ48Programming, "DevOxiZ48", "&Oxi Z48 ...");
  DevCondZ48 = item(TGZ48Programming, "DevCondZ48", "&Cond Z48 ...");
  int tag = 0;
  for (platform::MenuItem* m : {DevMultiZ48, DevpHZ48, DevOxiZ48, DevCondZ48}) {
    m->Tag = tag++;
    m->SetEnabled(false);
  }
  LabXXX = item(TGZ48Programming, "LabXXX", "Lab XXX");
  LoadProgFile = item(Bearbeiten, "LoadProgFile", "Programm-Datei \xF6" "ffnen ...");
  LoadProgFile->SetVisible(false);
  UpdateEnd = item(Bearbeiten, "UpdateEnd", "&Beenden");
  UpdateEnd->OnClick = [this](platform::Component* s) { Beenden(s); };
  LoadProgFile->OnClick = [this](platform::Component* s) { LoadProgFileClick(s); };

  Sprache = item(&root, "Sprache", "&Sprache");
  Deutsch = item(Sprache, "Deutsch", "&Deutsch");
  Englisch = item(Sprache, "Englisch", "&Englisch");
  Englisch->Tag = 1;
  for (platform::MenuItem* m : {Deutsch, Englisch}) {
    m->RadioItem = true;
    m->GroupIndex = 1;
  }

  for (platform::MenuItem* m : {Deutsch, Englisch})
    m->OnClick = [this](platform::Component* s) { LanguageClick(s); };
  for (platform::MenuItem* m : {DevMultiZ48, DevpHZ48, DevOxiZ48, DevCondZ48})
    m->OnClick = [this](platform::Component* s) { TGZ48ProgrammingClick(s); };
  LabXXX->OnClick = [this](platform::Component* s) { LabXXXClick(s); };

  Help = item(&root, "Help", "&Hilfe");
  Readme = item(Help, "Readme", "&Read me ...");
  Readme->OnClick = [this](platform::Component* s) { ReadmeClick(s); };
  SWVersion = item(Help, "SWVersion", "&Version ...");
  SWVersion->OnClick = [this](platform::Component* s) { SWVersionClick(s); };
}

void TUpdateForm::StartUp() {
  programFolder_ = options_.programFolder.empty() ? platform::files::ProgramFolder()
                                                  : options_.programFolder;
  if (ReadUpdateIni("Update.ini", ini_) != 0) {
    startupFailed_ = true;
    Close();
    return;
  }
  language_ = options_.language >= 0 ? options_.language : ini_.language;
  (language_ == 1 ? Englisch : Deutsch)->SetChecked(true);
  if (ReadProgDevice("ProgDevice.ini", progDevice_) != 0) {
    startupFailed_ = true;
    Close();
    return;
  }
  configuredStartMode_ = startMode_ = static_cast<StartModeTag>(progDevice_.startMode);
  fileType_ = static_cast<FileTypeTag>(progDevice_.fileType);
  instrumentPort_ = -1;
  session.AirPressureIndex = -1;
  VersionTest = true;
  queue_.AddHandler(kernel::Bind<&TUpdateForm::SessionHandler>(), this);

  UpdateCom->Check_AllV24();
  PortCount = std::min(UpdateCom->GetMaxV24Useable(), kMaxPorts);
  for (int i = 0; i < PortCount; ++i) ComNumbers[static_cast<std::size_t>(i)] = UpdateCom->Get_UseableV24(i) + 1;

  downloadList_.clear();
  BootHintShown = false;
  parser_->SetIdentFrameSeen(false);
  session.SensorSoftwareFlag = false;
  pumpDepth_ = 0;
  DiscoverFirmware();

  UpdateMemo->Add(Expand(progDevice_.texts.StartText(language_)));
  TranslateWindow();
  OpenPorts();
  // What cannot be used is said now, not after a search of the ports that are left.
  CheckPorts();
}

void TUpdateForm::DiscoverFirmware() {
  Discovery d = DiscoverFirmwareFiles(programFolder_, progDevice_.table);
  downloadList_ = d.downloadList;
  ApplyDiscovery(d, TGZ48Programming, {DevMultiZ48, DevpHZ48, DevOxiZ48, DevCondZ48}, LabXXX,
                 DLListBox);
}

void TUpdateForm::TranslateWindow() {
  UpdateSprachDialog->SetDialogfile(LanguageFile(language_));
  UpdateSprachDialog->TranslateDialog(this);
  // The ports' own messages follow the window's language.
  UpdateCom->SetLanguage(language_);
  for (comport::TComPort* port : PortTable)
    if (port) port->SetLanguage(language_);
  UpdatePanelHints();
}

void TUpdateForm::OpenPorts() {
  UpdateCom->SetLanguage(language_);
  if (ini_.singlePortMode) {
    PortCount = 1;
    UpdateCom->Open(this, 0, ini_.fixedPort, true);
    PortTable[0] = UpdateCom;
    ComNumbers[0] = ini_.fixedPort + 1;
    ShowSearchedPorts();
    return;
  }
  const int usable = PortCount;
  PortCount = 0;
  for (int i = 0; i < usable; ++i) AddSearchPort(ComNumbers[static_cast<std::size_t>(i)], true);
  ShowSearchedPorts();
}

void TUpdateForm::AddSearchPort(int com, bool showError) {
  if (PortCount >= kMaxPorts) return;
  const auto i = static_cast<std::size_t>(PortCount);
  ComNumbers[i] = com;
  ++PortCount;
  if (i == 0) {
    PortTable[0] = UpdateCom;
    UpdateCom->Open(this, 0, com - 1, showError);
    return;
  }
  // Every further port starts with the line settings the first one got from its record.
  auto* port = new comport::TComPort(this, "Port" + std::to_string(i));
  port->SetLanguage(language_);
  port->InitParameter(&UpdateCom->GetV24Parameter(), false);
  PortTable[i] = port;
  port->Open(this, 0, com - 1, showError);
  if (UpdateCom->IsOpen()) {
    platform::LineSettings settings = UpdateCom->LoadV24Parameter();
    platform::LineTimeouts timeouts = UpdateCom->LoadV24TimeOut();
    port->SaveV24Parameter(&settings);
    port->SaveV24TimeOut(&timeouts);
  }
}

std::string TUpdateForm::PortWithDevice(int com) {
  std::string path = platform::SerialDevicePath(com);
  return "COM" + std::to_string(com) + (path.empty() ? "" : " = " + path);
}

void TUpdateForm::ShowSearchedPorts() {
  if (ini_.singlePortMode) {
    UpdateStatusBar->SetPanelText(0, "Com" + std::to_string(ini_.fixedPort + 1));
  } else if (PortCount == 0) {
    UpdateStatusBar->SetPanelText(0, "");
  } else {
    std::string panel = "[Com" + std::to_string(ComNumbers[0]) + "]";
    for (int i = 1; i < PortCount; ++i) panel += " [" + std::to_string(ComNumbers[static_cast<std::size_t>(i)]) + "]";
    UpdateStatusBar->SetPanelText(0, panel);
  }
  UpdatePanelHints();
}

// Each status panel says in its hint what it shows; the port panels name the devices too.
void TUpdateForm::UpdatePanelHints() {
  std::string ports;
  for (int i = 0; i < PortCount && i < kMaxPorts; ++i)
    ports += (i ? ", " : "") + PortWithDevice(ComNumbers[static_cast<std::size_t>(i)]);
  UpdateStatusBar->SetPanelHint(0, FillX(CatalogueText(MsgHintPortsSearched), ports));
  UpdateStatusBar->SetPanelHint(
      1, FillX(CatalogueText(MsgHintInstrumentPort), instrumentCom_ >= 0 ? PortWithDevice(instrumentCom_ + 1) : ""));
  UpdateStatusBar->SetPanelHint(2, CatalogueText(MsgHintBaud));
  UpdateStatusBar->SetPanelHint(3, CatalogueText(MsgHintVersion));
  UpdateStatusBar->SetPanelHint(4, CatalogueText(MsgHintProgress));
}

// The port objects stay alive until the window goes: a procedure that is still running when
// the window closes holds one of them.
void TUpdateForm::ClosePorts() {
  for (int i = 0; i < kMaxPorts; ++i) {
    comport::TComPort*& port = PortTable[static_cast<std::size_t>(i)];
    if (!port) continue;
    port->Close();
    port = nullptr;
  }
  if (UpdateCom) UpdateCom->Close();
}

void TUpdateForm::WriteAllPorts(const char* data, int length) {
  for (comport::TComPort* port : PortTable)
    if (port) port->Write(data, length, false);
}

int TUpdateForm::PortIndexOf(int com) {
  if (ini_.singlePortMode) return 0;
  for (int i = 0; i < PortCount; ++i)
    if (ComNumbers[static_cast<std::size_t>(i)] == com) return i;
  return -1;
}

comport::TComPort* TUpdateForm::InstrumentPortObject() const {
  if (instrumentPort_ < 0 || instrumentPort_ >= kMaxPorts) return nullptr;
  return PortTable[static_cast<std::size_t>(instrumentPort_)];
}

int TUpdateForm::ReadPort(int index, char* buf, unsigned n) {
  if (index < 0 || index >= kMaxPorts || !PortTable[static_cast<std::size_t>(index)]) return -10;
  return PortTable[static_cast<std::size_t>(index)]->Read(buf, n);
}

void TUpdateForm::SetInstrumentPort(int index, int com) {
  instrumentPort_ = index;
  instrumentCom_ = com - 1;
  UpdateStatusBar->SetPanelText(1, "Com" + std::to_string(com));
  UpdatePanelHints();
}

// ---- handlers ----

void TUpdateForm::OkBitBtnClick(platform::Component*) {
  // The language stays fixed once a session has been started.
  Sprache->SetEnabled(false);
  queue_.PostKey(13);
  PumpEvents();
}

void TUpdateForm::TimerIntervall(platform::Timer& sender) {
  if (!timerPool_.ShouldPost(sender)) return;
  queue_.PostTimer(sender.Tag);
  PumpEvents();
}

void TUpdateForm::SecTimerTimer(platform::Timer&) {
  WaitProgressBar->SetPosition(WaitProgressBar->Position() + 1);
}

void TUpdateForm::SpeedButton1Click(platform::Component*) {
  auto frame = FirstWakeUpFrame(static_cast<int>(fileType_));
  parser_->SetBootMarkersWanted(true);
  if (PortTable[0] && !frame.empty())
    PortTable[0]->Write(reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()), false);
}

void TUpdateForm::Beenden(platform::Component*) { Close(); }

std::string TUpdateForm::ProgrammingWarning() const { return CatalogueText(MsgProgrammingInProgress); }

bool TUpdateForm::FormCloseQuery() {
  if (closeWithoutQuestion_ || !ProgrammingInProgress()) return true;
  // The question is open already (a second request while it is shown).
  if (askingToClose_) return false;
  askingToClose_ = true;
  const bool yes = ShowBox(ProgrammingWarning() + "\r\n\r\n" + CatalogueText(MsgCloseAnyway),
                           platform::BoxIcon::Warning, platform::BoxButtons::YesNo) == platform::BoxResult::Yes;
  askingToClose_ = false;
  return yes;
}

void TUpdateForm::CloseWithoutQuestion() {
  closeWithoutQuestion_ = true;
  Close();
}

void TUpdateForm::FormClose() {
  // The terminal writes no further block once the window closes.
  if (basicLoader_) basicLoader_->Abort();
  basicLoaderRunning_ = false;
  StopPanel->SetVisible(true);
  StopPanel->Repaint();
  ClosePorts();
}

void TUpdateForm::HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t) {
  switch (message) {
    case comport::V24MsgRxData:
      queue_.PostNotify(NotifyRxData, wparam);
      PumpEvents();
      break;
    case comport::V24MsgRxError:
      OnLineError(static_cast<int>(wparam));
      // What the search posted (the restart after a failed search) must not wait for the
      // next event that happens to pump.
      PumpEvents();
      break;
    case comport::V24MsgHangUp:
      if (static_cast<int>(wparam) == instrumentCom_ + 1) {
        queue_.PostNotify(NotifyPortGone, wparam);
        PumpEvents();
      }
      break;
    default:
      break;
  }
}

void TUpdateForm::SetClock(bool secondsForm) {
  std::string command = ClockCommand(secondsForm ? ClockForm::Seconds : ClockForm::DateValue,
                                     CurrentLocalTime());
  comport::TComPort* port = InstrumentPortObject();
  if (startMode_ == StartModeTag::Sensor && port) {
    port->LoadLastV24Parameter();
    wait.DelayTime(500, false);
  }
  SendToInstrument(command);
}

// After an unplugged adapter is plugged in again, the retry needs the port opened anew.
void TUpdateForm::ReopenInstrumentPortIfGone() {
  comport::TComPort* port = InstrumentPortObject();
  if (!port || !port->Gone()) return;
  platform::LineSettings settings = port->LoadV24Parameter();
  platform::LineTimeouts timeouts = port->LoadV24TimeOut();
  port->Close();
  port->Open(this, 0, instrumentCom_, false);
  port->SaveV24Parameter(&settings);
  port->SaveV24TimeOut(&timeouts);
}

void TUpdateForm::ClearIdentityLabels() {
  NameStaticText->SetCaption("");
  SerStaticText->SetCaption("");
  PCBStaticText->SetCaption("");
  SWStaticText->SetCaption("");
}

// ---- kernel ----

void TUpdateForm::PumpEvents() {
  kernel::PumpEvents(queue_, pumpDepth_, [] {
    if (platform::HasApp()) platform::App().ProcessMessages();
  });
}

void TUpdateForm::ProcessMessages() {
  if (platform::HasApp()) platform::App().ProcessMessages();
}

std::string TUpdateForm::ProgDefFileFor(std::int32_t processorType) const {
  return update::ProgDefFileFor(progDevice_.table, processorType);
}

void TUpdateForm::AppendToSoftwareVersion(const std::string& text) {
  const std::string& shown = SWStaticText->Caption();
  // A repeated run appends the same loader version once only.
  if (shown.size() >= text.size() && shown.compare(shown.size() - text.size(), text.size(), text) == 0) return;
  SWStaticText->SetCaption(shown + text);
}

// ---- steps of later builds ----

void TUpdateForm::ReportNotInThisBuild(const std::string& what) {
  UpdateMemo->Add(FillX(CatalogueText(MsgNotInThisBuild), what));
}

procedure::ProcedureContext TUpdateForm::ProcedureContext() {
  return {*this, language_, WaitProgressBar, wait, record_, InstrumentPortObject(), queue_};
}

bool TUpdateForm::RunProcedure(ProcedureKind kind, int variant, const std::string& file,
                               bool askFirst, bool syncFirst) {
  // Every procedure is created, run and destroyed within the event that asked for it.
  failureDetails_.clear();
  session.AckWhileProgramming = false;
  procedureRunning_ = true;
  bool ok = false;
  switch (kind) {
    case ProcedureKind::ClassicBsl:
    case ProcedureKind::Bsl54xx: {
      std::unique_ptr<loaders::BootstrapLoader> procedure;
      if (kind == ProcedureKind::Bsl54xx)
        procedure = std::make_unique<loaders::T_BSL_54XX_430>(ProcedureContext());
      else
        procedure = std::make_unique<loaders::T_BSL430>(ProcedureContext());
      ok = procedure->Run(variant, file, askFirst, syncFirst);
      lastProcedureError_ = procedure->ErrorCode();
      break;
    }
    case ProcedureKind::EmfLoader: {
      // The transfers read the line without the port's own time-outs.
      if (comport::TComPort* p = InstrumentPortObject()) p->ChangeV24TimeOut(-1, -1, -1, 0);
      loaders::T_EMFLoader procedure(ProcedureContext());
      ok = procedure.Run(variant, file, askFirst);
      lastProcedureError_ = procedure.ErrorCode();
      break;
    }
    case ProcedureKind::WinCE: {
      if (comport::TComPort* p = InstrumentPortObject()) p->ChangeV24TimeOut(-1, -1, -1, 0);
      loaders::TWinCEProg procedure(ProcedureContext());
      ok = procedure.Run(variant, file, askFirst) != 0;
      lastProcedureError_ = ok ? 0 : 1;
      break;
    }
  }
  procedureRunning_ = false;
  return ok;
}

}  // namespace update
