// The external loaders: the HEX loader and the PIC32 loader programs, and the maker's updater
// library that stands in for the HEX loader when it is there. The port is lent to the loader
// for the time it runs; the window stays responsive throughout.
#include "update/ExternalLoaders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "comport/Comport.h"
#include "loaders/Hexloadunit.h"
#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SerialDevice.h"
#include "procedure/Infotext.h"
#include "update/Updatemain.h"

namespace update {

using namespace procedure;

namespace {

// A loader that runs this long has hung: it is ended and counts as failed. The programs
// themselves take a few minutes at most for the largest images.
constexpr std::uint32_t kLoaderLimitMs = 20 * 60 * 1000;
constexpr std::uint32_t kSliceMs = 200;
constexpr int kAttempts = 3;
// Exit code reported when the updater library failed: this plus the failed step.
constexpr int kLibraryFailureBase = 100;

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string BaseName(const std::string& windowsName) {
  std::size_t dot = windowsName.rfind('.');
  return dot == std::string::npos ? windowsName : windowsName.substr(0, dot);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

}  // namespace

std::vector<std::string> HexLoaderArguments(const std::string& file, int comNumber, bool atFlag) {
  return {file, "-com" + std::to_string(comNumber), std::string("-baudrate") + (atFlag ? "9600" : "38400"),
          "-auto", "-exit"};
}

std::vector<std::string> Pic32LoaderArguments(const std::string& file, int portIndex) {
  // One character names the port: COM10 and above give the characters after '9'.
  return {"-f" + file, std::string("-c") + static_cast<char>('1' + portIndex), "-b7", "-a"};
}

std::string LoaderFileArgument(const std::string& packageFolder, const std::string& name) {
  std::string path = platform::files::ResolveOrJoin(packageFolder, name);
  if (path.empty() || path[0] != '/') return path;
  std::string cwd = platform::files::CurrentFolder();
  if (!cwd.empty() && cwd != "/" && StartsWith(path, cwd + "/")) return path.substr(cwd.size() + 1);
  return path;
}

std::string WinePath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c == '/') c = '\\';
  if (!path.empty() && path[0] == '/') out = "Z:" + out;
  return out;
}

std::string WineProgram() {
  if (const char* wine = std::getenv("UPDATE_WINE")) return *wine ? platform::FindProgram(wine) : std::string();
  return platform::FindProgram("wine");
}

std::string WinePrefix() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix) return prefix;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.wine";
}

bool WinePrefixReady(const std::string& prefix) {
  // Wine's set-up makes the drive links at once; its registry is written only when its server
  // ends, a few seconds later.
  struct stat st {};
  const std::string devices = prefix + "/dosdevices";
  return platform::files::IsFolder(devices) &&
         (platform::files::IsFile(prefix + "/system.reg") || ::lstat((devices + "/c:").c_str(), &st) == 0);
}

LoaderLaunch ChooseLoader(const std::string& folder, const std::string& windowsName,
                          const std::vector<std::string>& args, const std::string& fileArgument) {
  LoaderLaunch l;
  if (auto native = platform::files::Resolve(folder, BaseName(windowsName)); native && IsExecutableFile(*native)) {
    l.kind = LoaderLaunch::Kind::Native;
    l.argv.push_back(*native);
    l.argv.insert(l.argv.end(), args.begin(), args.end());
    return l;
  }
  auto exe = platform::files::Resolve(folder, windowsName);
  std::string wine = WineProgram();
  if (!exe || !platform::files::IsFile(*exe) || wine.empty()) return l;
  l.kind = LoaderLaunch::Kind::Wine;
  l.winePrefix = WinePrefix();
  l.argv = {wine, *exe};
  const std::string windowsFile = WinePath(fileArgument);
  for (const std::string& a : args) {
    if (a == fileArgument)
      l.argv.push_back(windowsFile);
    else if (a == "-f" + fileArgument)
      l.argv.push_back("-f" + windowsFile);
    else
      l.argv.push_back(a);
  }
  return l;
}

bool MapWinePort(const std::string& deviceFolder, int comNumber, const std::string& devicePath,
                 std::string* error) {
  auto fail = [error](std::string why) {
    if (error) *error = std::move(why);
    return false;
  };
  if (devicePath.empty() || devicePath[0] != '/') return fail("COM" + std::to_string(comNumber) + " has no device");
  if (!platform::files::CreateFolders(deviceFolder)) return fail(deviceFolder + ": " + std::strerror(errno));
  const std::string link = deviceFolder + "/com" + std::to_string(comNumber);
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return fail(link + " is not a link");
    char target[4096];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n >= 0 && devicePath == std::string(target, static_cast<std::size_t>(n))) return true;
    if (::unlink(link.c_str()) != 0) return fail(link + ": " + std::strerror(errno));
  }
  if (::symlink(devicePath.c_str(), link.c_str()) != 0) return fail(link + ": " + std::strerror(errno));
  return true;
}

// ---- the window's operations ----

int TUpdateForm::RunExternalLoader(const std::string& file) {
  // An instrument that restarts while the loader is still being waited for says "!" now;
  // the session counts it once the loader's success is known (ProgrammingSucceeded).
  struct Running {
    std::atomic<bool>& flag;
    explicit Running(std::atomic<bool>& f) : flag(f) { flag = true; }
    ~Running() { flag = false; }
  } running(procedureRunning_);
  session.AckWhileProgramming = false;
  switch (fileType_) {
    case FileTypeTag::Other:
    case FileTypeTag::Txt:
      return RunHexLoader(file);
    case FileTypeTag::Exe:
    case FileTypeTag::Hex:
      return RunPic32Loader(file);
    case FileTypeTag::Bin:
      break;
  }
  // The serial boot-loader packages have no external loader (their first file goes through the
  // serial boot loader; a definition file or further version file of theirs cannot be programmed).
  ReportText(FillX(CatalogueText(MsgNoExternalLoader), file));
  return 1;
}

int TUpdateForm::WaitForChild(platform::Process& child, const std::string& what) {
  // Slices of 200 ms with the window's messages handled after each; a program that never
  // ends, or a window that is being closed, ends it.
  std::uint32_t waited = 0;
  while (!child.Wait(kSliceMs)) {
    ProcessMessages();
    waited += kSliceMs;
    if (waited >= kLoaderLimitMs || Closed() || (platform::HasApp() && platform::App().Terminated())) {
      LogLine(what + ": no end after " + std::to_string(waited / 1000) + " s, ended");
      child.Kill();
      break;
    }
  }
  return child.ExitCode();
}

bool TUpdateForm::LendPortToWine(const LoaderLaunch& launch, int com, std::string& why) {
  if (!WinePrefixReady(launch.winePrefix)) {
    // A new prefix: Wine sets it up (drives, registry) before anything else goes into it.
    LogLine("Wine: setting up " + launch.winePrefix);
    platform::Process boot;
    if (!boot.Start({launch.argv[0], "wineboot", "--init"})) {
      why = launch.argv[0] + ": " + boot.Error();
      return false;
    }
    WaitForChild(boot, "wineboot");
    if (!WinePrefixReady(launch.winePrefix)) {
      why = launch.winePrefix + " was not set up";
      return false;
    }
  }
  return MapWinePort(launch.winePrefix + "/dosdevices", com, platform::SerialDevicePath(com), &why);
}

int TUpdateForm::RunLoaderProgram(const std::string& windowsName, const std::vector<std::string>& args,
                                  const std::string& fileArgument, std::uint32_t pauseMs) {
  const int com = instrumentCom_ + 1;
  const LoaderLaunch launch = ChooseLoader(programFolder_, windowsName, args, fileArgument);
  bool told = false;
  auto tell = [this, &told](const std::string& text) {
    if (told) return;
    told = true;
    UpdateMemo->Add(Expand(text));
    ShowBox(text, platform::BoxIcon::Error, platform::BoxButtons::Ok);
  };
  LogLine(Joined(launch.argv.empty() ? args : launch.argv));

  int exitCode = 1;
  for (int attempt = 1;; ++attempt) {
    titleTimer_.count = 0;
    TitleTimer->SetEnabled(true);
    exitCode = 1;
    std::string why;
    if (launch.kind == LoaderLaunch::Kind::Missing) {
      tell(FillX(CatalogueText(MsgLoaderNeedsNativeOrWine), windowsName));
    } else if (launch.kind == LoaderLaunch::Kind::Wine && !LendPortToWine(launch, com, why)) {
      tell(FillX(CatalogueText(MsgWinePortMapping), why));
    } else {
      platform::Process child;
      if (!child.Start(launch.argv))
        tell(FillX(CatalogueText(MsgLoaderNotStarted), launch.argv[0] + ": " + child.Error()));
      else
        exitCode = WaitForChild(child, windowsName);
    }
    TitleTimer->SetEnabled(false);
    LogLine(windowsName + " run " + std::to_string(attempt) + "/" + std::to_string(kAttempts) +
            ": exit code " + std::to_string(exitCode));
    wait.DelayTime(static_cast<long>(pauseMs), true);
    if (attempt >= kAttempts || exitCode != 1) break;
  }
  return exitCode;
}

comport::TComPort* TUpdateForm::LendPort() {
  comport::TComPort* port = InstrumentPortObject();
  if (port) {
    port->SaveLastV24Parameter();
    port->Close();
  }
  return port;
}

void TUpdateForm::TakeBackPort(comport::TComPort* port, bool sensorLine) {
  // A window closed meanwhile has closed its ports for good.
  if (!port || Closed()) return;
  port->Open(this, 0, instrumentCom_, true);
  if (sensorLine)
    port->ChangeV24Parameter(comport::B__9600, comport::S_2, comport::NoParity, true);
  else
    port->LoadLastV24Parameter();
}

int TUpdateForm::RunHexLoader(const std::string& file) {
  WaitPanel->SetVisible(false);
  if (record_.firstProgramFile.size() <= 4) return 1;
  comport::TComPort* port = LendPort();
  const std::string image = LoaderFileArgument(programFolder_, file);
  const std::int64_t size = platform::files::FileSize(image);
  titleTimer_.Start(static_cast<float>(size < 0 ? 0 : size / 2000));
  int exitCode = 0;

  auto hexLoad = std::make_unique<loaders::THexLoad>(true, ProcedureContext());
  if (hexLoad->IsLoaded()) {
    LogLine("Updater library " + hexLoad->LibraryPath());
    WaitProgressBar->SetPosition(0);
    WaitProgressBar->SetMax(105);
    wait.DelayTime(1000, true);
    hexLoad->Start(image.c_str(), instrumentCom_ + 1);
    std::uint32_t waited = 0;
    do {
      wait.DelayTime(1000, true);
      waited += 1000;
    } while (hexLoad->IsBusy() && waited < kLoaderLimitMs && !Closed());
    loaders::HexLoadStep failed = hexLoad->IsBusy() ? loaders::HexLoadStep::Program : hexLoad->FailedStep();
    if (hexLoad->IsBusy()) {
      // A call that never returns cannot be taken back: the thread and its library are left
      // to themselves, and the update has failed.
      LogLine("Updater library: no end after " + std::to_string(waited / 1000) + " s");
      (void)hexLoad.release();
    } else {
      hexLoad.reset();
    }
    TitleTimer->SetEnabled(false);
    if (failed != loaders::HexLoadStep::None) {
      // The library's outcome decides, not the mere end of the sequence.
      const std::string text = FillX(CatalogueText(MsgUpdaterStepFailed), loaders::HexLoadStepText(failed));
      UpdateMemo->Add(Expand(text));
      ShowBox(text, platform::BoxIcon::Error, platform::BoxButtons::Ok);
      exitCode = kLibraryFailureBase + static_cast<int>(failed);
    }
  } else {
    hexLoad.reset();
    const std::vector<std::string> args = HexLoaderArguments(image, instrumentCom_ + 1, record_.firstFileAtFlag);
    wait.DelayTime(1000, true);
    exitCode = RunLoaderProgram(kHexLoaderProgram, args, image, 1000);
  }

  TakeBackPort(port, startMode_ == StartModeTag::Sensor && exitCode == 0);
  wait.DelayTime(500, false);
  SetTitleProgress("", -1.0f);
  lastProcedureError_ = exitCode;
  return exitCode;
}

int TUpdateForm::RunPic32Loader(const std::string& file) {
  WaitPanel->SetVisible(false);
  if (record_.firstProgramFile.size() <= 4) return 1;
  comport::TComPort* port = LendPort();
  wait.DelayTime(1000, true);
  const std::string image = LoaderFileArgument(programFolder_, file);
  const std::vector<std::string> args = Pic32LoaderArguments(image, instrumentCom_);
  const std::int64_t size = platform::files::FileSize(image);
  titleTimer_.Start(static_cast<float>(size < 0 ? 0 : size / 800));
  const int exitCode = RunLoaderProgram(kPic32LoaderProgram, args, image, 1500);
  TakeBackPort(port, false);
  wait.DelayTime(200, true);
  SetTitleProgress("", -1.0f);
  lastProcedureError_ = exitCode;
  return exitCode;
}

}  // namespace update
