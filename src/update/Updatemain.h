#pragma once
// The main window: owns the event queue, the timer pool, the ports, the configuration and
// the state of the update session. Its members are split by concern over several files:
//   Updatemain.cpp  components, start-up, shutdown, window messages, timers
//   Messages.cpp    log memo, title progress, message boxes
//   Search.cpp      instrument search
//   PortCheck.cpp   the ports a search can use, and why the others cannot be used
//   Session.cpp     the session handler, sequencer, second stage, end, failure report
//   Identify.cpp    identity dialogue and the package check
//   Menus.cpp       menu commands and hidden keys
//   DeviceMenu.cpp  the device-menu handler: handheld and laboratory programming without the
//                   identity dialogue (from the menu, or for an instrument found in boot mode)
//   Upload.cpp      the file-list upload
//
// Components and handlers keep the German names of the window's description, which the
// language files translate by name:
//   Bearbeiten  the File menu ("Datei")       Beenden   exit (File/Exit)
//   Sprache     the Language menu             Deutsch, Englisch   German, English
//   Hilfe       the Help menu                 Abbruchtext, Starttext   abort and start text
//   ProzTyp     processor type                Kenn (SWKenn, BootLoadKenn)   version marker
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/Delay.h"
#include "kernel/Events.h"
#include "kernel/Timer.h"
#include "platform/Application.h"
#include "platform/Components.h"
#include "update/Config.h"
#include "procedure/DeviceRecord.h"
#include "procedure/Procedure.h"
#include "procedure/ProcedureHost.h"
#include "procedure/Infotext.h"
#include "update/Replies.h"
#include "update/SessionState.h"

namespace comport {
class TComPort;
}
namespace language {
class TLanguage;
}
namespace loaders {
class BasicLoaderProcedure;
}

namespace platform {
class Process;
}

namespace update {

struct LoaderLaunch;

class TUpdateForm : public platform::Form, public procedure::ProcedureHost, public ReplyHost {
 public:
  struct Options {
    // Where the package lies (firmware discovery, loaders); empty: the program-folder rule.
    std::string programFolder;
    // Skips the start-up reads (for tests of the bare window).
    bool bareWindow = false;
    // The language of this run (0 German, 1 English) instead of the one "Update.ini" names;
    // -1 keeps that one. The file is not rewritten.
    std::int32_t language = -1;
  };
  TUpdateForm();
  explicit TUpdateForm(const Options& options);
  ~TUpdateForm() override;

  // ---- components ----
  platform::Bevel* MainBevel;
  platform::GroupBox* UpdateGroupBox;
  platform::Label *NameLabel, *SerLabel, *PCBLabel, *SWLabel;
  platform::StaticText *NameStaticText, *SerStaticText, *PCBStaticText, *SWStaticText;
  platform::Label* DLLabel;
  platform::ListBox* DLListBox;
  platform::Memo* UpdateMemo;
  platform::ProgressBar* WaitProgressBar;
  platform::Panel* KeyPanel;
  platform::BitBtn* OkBitBtn;
  platform::SpeedButton* SpeedButton1;
  platform::StaticText* InfoStaticText;
  platform::StatusBar* UpdateStatusBar;
  platform::Panel* WaitPanel;
  platform::Panel* StopPanel;
  platform::MainMenu* MainMenu1;
  platform::MenuItem *Bearbeiten, *TGZ48Programming, *DevMultiZ48, *DevpHZ48, *DevOxiZ48,
      *DevCondZ48, *LabXXX, *LoadProgFile, *UpdateEnd;
  platform::MenuItem *Sprache, *Deutsch, *Englisch;
  platform::MenuItem *Help, *Readme, *SWVersion;
  std::array<platform::Timer*, 5> PoolTimers{};  // Timer1 .. Timer5
  platform::Timer* SecTimer;
  platform::Timer* TitleTimer;
  platform::OpenDialog* OpenProgFileDialog;
  kernel::TDelay wait;

  // ---- handlers ----
  void OkBitBtnClick(platform::Component* sender);
  void TimerIntervall(platform::Timer& sender);
  void SecTimerTimer(platform::Timer& sender);
  void SpeedButton1Click(platform::Component* sender);
  void Beenden(platform::Component* sender);
  // Asked before the window closes: while the instrument is being programmed the user
  // confirms first, since closing leaves it without working firmware. Otherwise true.
  bool FormCloseQuery();
  void FormClose();
  // Closes as the window's close does, without the question (the console's second interrupt).
  void CloseWithoutQuestion();
  // True while a programming procedure, an external loader or the Basic-Loader terminal runs.
  // Any thread may ask.
  bool ProgrammingInProgress() const { return procedureRunning_.load() || basicLoaderRunning_.load(); }
  // The warning of the close question, in the window's language.
  std::string ProgrammingWarning() const;
  void HandleMessage(std::uint32_t message, std::intptr_t wparam, std::intptr_t lparam) override;

  void ClearIdentityLabels();
  void FormKeyUp(int key, unsigned shift);
  // The device commands; the session calls them without a sender for an instrument that
  // announced itself in boot mode.
  void TGZ48ProgrammingClick(platform::Component* sender);
  void LabXXXClick(platform::Component* sender);
  void LanguageClick(platform::Component* sender);
  void ReadmeClick(platform::Component* sender);
  void SWVersionClick(platform::Component* sender);
  void LoadProgFileClick(platform::Component* sender);
  void TitleTimerTimer(platform::Timer& sender);
  // The language component of the window.
  language::TLanguage* UpdateSprachDialog = nullptr;

  // ---- the event kernel ----
  kernel::EventQueue& Queue() { return queue_; }
  kernel::TimerPool& Timers() override { return timerPool_; }
  void PumpEvents() override;
  void ProcessMessages() override;
  std::int32_t PumpDepth() const { return pumpDepth_; }

  // ---- reporting (messages.cpp) ----
  void LogLine(const std::string& text) override;
  // A procedure's report line; the failure report that may follow repeats it under the abort
  // text, so that the reason stays in view.
  void ReportText(const std::string& text) override;
  void ClearReport() override;
  std::string SetTitleProgress(const std::string& prefix, float percent) override;
  bool DebugMode = false;
  // Every trace line, expanded, whether or not DebugMode puts it into the memo (for a log file).
  std::function<void(const std::string& line)> OnTrace;
  std::int32_t Language() const { return language_; }

  // ---- procedures' view ----
  procedure::StartModeTag StartMode() const override { return startMode_; }
  std::string ProgDefFileFor(std::int32_t processorType) const override;
  std::string PackageFolder() const override { return programFolder_; }
  void AppendToSoftwareVersion(const std::string& text) override;

  procedure::DeviceRecord& Record() { return record_; }
  bool StartupFailed() const { return startupFailed_; }

  // How the last session ended, for the console and tests.
  // NoPort: no port could be used, so no search was run.
  enum class Outcome { None, Running, Succeeded, NotNeeded, Refused, Failed, NoPort };
  Outcome SessionOutcome() const { return outcome_; }
  // The error code of the last programming procedure (0 when it succeeded).
  int LastProcedureError() const { return lastProcedureError_; }
  bool SessionOver() const { return outcome_ == Outcome::Succeeded || outcome_ == Outcome::NotNeeded; }
  // The Basic-Loader terminal has ended (programmed or aborted): a further programming needs
  // a new start of the program.
  bool NewStartNeeded() const { return newStartNeeded_; }
  bool SessionSucceeded() const { return SessionOver(); }

  // ---- ports ----
  static constexpr int kMaxPorts = 10;
  std::array<comport::TComPort*, kMaxPorts> PortTable{};
  std::array<int, kMaxPorts> ComNumbers{};
  int PortCount = 0;
  comport::TComPort* UpdateCom = nullptr;
  void WriteAllPorts(const char* data, int length);
  int PortIndexOf(int com) override;
  int InstrumentPort() const override { return instrumentPort_; }
  int InstrumentCom() const { return instrumentCom_; }
  comport::TComPort* InstrumentPortObject() const;
  // Opens again the ports of the table that are closed or gone, adds the ports that have
  // become usable, and reports each port that cannot be used with its reason in the log.
  // The number of ports a search can use; with none, a search is not run, and beforeSearch
  // says so in an error box too.
  int CheckPorts(bool beforeSearch = false);

  // ---- configuration ----
  const UpdateIni& Settings() const { return ini_; }
  const ProgDevice& Package() const { return progDevice_; }
  const std::vector<std::string>& DownloadList() const { return downloadList_; }
  procedure::FileTypeTag FileType() const { return fileType_; }

  // ---- session state (session.cpp, search.cpp, identify.cpp) ----
  kernel::Event SessionHandler(kernel::EventQueue& sender, kernel::Event ev);
  void EndSession(bool final);
  void ReportFailure(std::int32_t code);
  void ShowDurationEstimate(int mode);
  bool SearchStep(bool advance);
  void ReportNoDevice();
  bool CheckInstrument();
  // The package file exists, is not empty and reads as the image its loader takes (by the
  // FileType: a bootstrap loader's TI-TXT image, the serial boot loader's binary image);
  // otherwise the user is told which file and what is wrong.
  enum class PackageImage { ByFileType, None, Classic, Bsl5xx };
  bool PackageFileUsable(const std::string& name, PackageImage image = PackageImage::ByFileType);
  bool UpdateDue() const;
  bool SecondUpdateDue() const;
  void SetClock(bool secondsForm);

  // One session's state; StartSession resets it.
  SessionState session;
  // What outlives a session.
  bool WinCEStarted = false;       // a Windows CE transfer ran in this program run
  std::int32_t WakeState = 0;      // 3 after the first wake-up frame, 4 after the second
  bool BootHintShown = false;      // the boot-mode hint was shown in this search
  std::int32_t NoDevicePrompts = 0;  // 1 after the first no-device report
  bool ExternalLoaderDone = false;   // a retry continues with the external loader
  bool SensorUpdateFlag = false;     // set by a check in SensorUpdate mode, never cleared
  bool VersionTest = true;           // hidden key: program even when not newer
  bool AnyFileMode = false;          // hidden key: any image file may be chosen
  std::string ChosenProgramFile;

  // ---- reporting ----
  void ReportLine(int entry);  // a catalogue entry, expanded, into the memo
  std::string Expand(const std::string& text) const;
  std::string CatalogueText(int entry) const;
  platform::BoxResult ShowBox(const std::string& text, platform::BoxIcon icon,
                              platform::BoxButtons buttons);

  // Programming procedures are run through this seam; a kind that this build does not
  // have reports so and fails the step. The Basic-Loader terminal is not one of them (see
  // StartBasicLoader).
  enum class ProcedureKind { ClassicBsl, Bsl54xx, EmfLoader, WinCE };
  // What a procedure of this session is constructed with.
  procedure::ProcedureContext ProcedureContext();
  bool RunProcedure(ProcedureKind kind, int variant, const std::string& file, bool askFirst,
                    bool syncFirst);
  // The first program file through a procedure, and the session's way on: its success, or the
  // failure path (notification 10021). True on success.
  bool ProgramFirstFile(ProcedureKind kind, int variant, bool askFirst, bool syncFirst);
  // The same when the instrument's version asks for it; otherwise straight to the second stage.
  void ProgramFirstFileIfDue(ProcedureKind kind, bool askFirst, bool syncFirst);

  // ---- external loaders (ExternalLoaders.cpp) ----
  // The HEX loader (the updater library when the package folder has it, else the loader
  // program) and the PIC32 loader for one image file: the port is lent to the loader while
  // it runs and taken back with its settings. 0 on success, else the loader's exit code (a
  // failed library step: 100 + loaders::HexLoadStep).
  int RunHexLoader(const std::string& file);
  int RunPic32Loader(const std::string& file);
  // The instrument's port lent to a loader program: its settings saved, closed so that the
  // program can open it alone. Taken back with those settings, or with the sensor's line
  // (9600 8N2, NUL stripping) after a sensor took its new firmware.
  comport::TComPort* LendPort();
  void TakeBackPort(comport::TComPort* port, bool sensorLine);

 protected:
  // ReplyHost
  int ReadPort(int index, char* buf, unsigned n) override;
  void SetInstrumentPort(int index, int com) override;
  void Trace(const std::string& line) override { LogLine(line); }

 private:
  void OnSessionTimer();
  bool SearchStepBody(bool advance);
  int searchDepth_ = 0;
  void OnLineError(int com);
  void StartSession();
  void Sequencer();
  void SecondStage();
  void FinishSession();
  // The session's own waits for the instrument, each with its time limit.
  void Await(AwaitTag what, std::int32_t ms);
  void StopAwaiting();
  void ProgrammingSucceeded();
  void AwaitRestart();
  void OnInstrumentSilent();
  void OnInstrumentPortGone();
  void ReopenInstrumentPortIfGone();
  void SendFollowUpIfDue(const std::string& command, int estimateMode);
  void OnIdentityReply(std::int32_t code, const char* text);
  void SendToInstrument(const std::string& command, bool trace = true);
  void SendEndCommand();
  void CloseSearchPortsExceptInstrument();
  void OpenPorts();
  void ClosePorts();
  // Appends a port to the table and opens it with the first port's line settings.
  void AddSearchPort(int com, bool showError);
  void ShowSearchedPorts();
  void UpdatePanelHints();
  // "COM3 = /dev/ttyUSB0" for the hints.
  static std::string PortWithDevice(int com);
  void DiscoverFirmware();
  kernel::Event RetryOnOk(kernel::EventQueue& sender, kernel::Event ev);
  kernel::Event AirPressureHandler(kernel::EventQueue& sender, kernel::Event ev);
  void AppendFileListItems(const std::string& items);
  static const char* IdentityCommand(std::int32_t step);
  const char* Probe() const;
  void SwitchAllPorts(std::int32_t baud);
  void WriteToInstrument(const std::string& command);
  void RemoveStartupBlock();
  void StartBasicLoader();
  void BasicLoaderEnded(bool programmed);
  bool BasicLoaderImageUsable();
  void TranslateWindow();
  // The loader of the package's FileType for one file.
  int RunExternalLoader(const std::string& file);
  // Up to three runs of a loader program while it exits with 1, each followed by pauseMs.
  int RunLoaderProgram(const std::string& windowsName, const std::vector<std::string>& args,
                       const std::string& fileArgument, std::uint32_t pauseMs);
  // Waits for a child in slices with the window's messages handled; its exit code.
  int WaitForChild(platform::Process& child, const std::string& what);
  // Sets the Wine prefix up when it is new and links its COM port to the port's device.
  bool LendPortToWine(const LoaderLaunch& launch, int com, std::string& why);
  void ReportNotInThisBuild(const std::string& what);

  // ---- device menu (DeviceMenu.cpp) ----
  void DeviceCommand(bool laboratory, std::size_t row);
  void BeginDeviceSession();
  void RefuseDeviceCommand();
  kernel::Event DeviceMenuHandler(kernel::EventQueue& sender, kernel::Event ev);
  void HandheldProgramming();
  void LaboratoryProgramming();
  // The laboratory image: "LABXXX.TXT", or the definition file when it is longer than 4 characters.
  std::string LaboratoryFile() const;
  bool LaboratoryUses5xx() const;
  bool deviceMenuBusy_ = false;  // the handler's own programming and wait are running

  // ---- file-list upload (Upload.cpp) ----
  void StartFileUpload();
  kernel::Event UploadHandler(kernel::EventQueue& sender, kernel::Event ev);
  void NextUploadFile();
  bool AnnounceUploadFile(bool first);
  void SendUploadPacket();
  // Ends the upload as a failure of the session, with the message about the file.
  void UploadFailed(int message, std::string file);
  void StopUpload();
  struct UploadState {
    bool active = false;
    std::size_t index = 0;   // next FileList position to announce
    bool sending = false;    // the announced file's packets are going out
    std::string entry;       // the FileList entry being sent
    std::string data;        // its bytes
    std::size_t sent = 0;    // bytes of data already sent
  } upload_;

  void BuildComponents();
  void BuildMenu();
  void StartUp();

  kernel::EventQueue queue_;
  kernel::TimerPool timerPool_;
  std::int32_t pumpDepth_ = 0;
  std::int32_t language_ = 0;
  procedure::StartModeTag startMode_ = procedure::StartModeTag::Normal;
  std::string programFolder_;
  bool startupFailed_ = false;
  procedure::DeviceRecord record_;
  Options options_;
  UpdateIni ini_;
  ProgDevice progDevice_;
  procedure::StartModeTag configuredStartMode_ = procedure::StartModeTag::Normal;
  procedure::FileTypeTag fileType_ = procedure::FileTypeTag::Other;
  std::vector<std::string> downloadList_;
  int instrumentPort_ = -1;
  int instrumentCom_ = -1;
  std::unique_ptr<ReplyParser> parser_;
  int lastProcedureError_ = 0;
  std::atomic<bool> procedureRunning_{false};
  bool closeWithoutQuestion_ = false;
  bool askingToClose_ = false;
  std::vector<std::string> failureDetails_;  // report lines of the running or failed step
  procedure::TitleTimerState titleTimer_;
  Outcome outcome_ = Outcome::None;
  bool newStartNeeded_ = false;
  // Made once, when the instrument went into its Basic-Loader; kept until the window goes.
  std::unique_ptr<loaders::BasicLoaderProcedure> basicLoader_;
  // From the terminal's start to its end (programmed or aborted).
  std::atomic<bool> basicLoaderRunning_{false};
};

}  // namespace update
