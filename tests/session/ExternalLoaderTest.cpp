// The external loaders as the window runs them: the command lines, which program runs, the
// attempts and pauses, the port lent to the loader and taken back with its settings, and the
// updater library's failure reported as a failure. The loaders are the project's stand-ins;
// the instrument is simulated on a pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PtyInstrument.h"
#include "comport/Comport.h"
#include "loaders/Hexloadunit.h"
#include "platform/Files.h"
#include "platform/Headless.h"
#include "platform/SerialDevice.h"
#include "support/RecordImages.h"
#include "support/RunProgram.h"
#include "update/ExternalLoaders.h"
#include "update/Updatemain.h"

namespace {

namespace fs = std::filesystem;
using update::ChooseLoader;
using update::LoaderLaunch;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Sets an environment variable for one test (unset, or back to what it was, at the end).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ExternalLoaderArguments, CommandLinesAsTheLoadersGetThem) {
  struct Case {
    const char* what;
    std::vector<std::string> got, want;
  } cases[] = {
      {"HEX loader, first file with '@', COM3", update::HexLoaderArguments("FW.MOT", 3, true),
       {"FW.MOT", "-com3", "-baudrate9600", "-auto", "-exit"}},
      {"HEX loader without '@'", update::HexLoaderArguments("FW.MOT", 12, false),
       {"FW.MOT", "-com12", "-baudrate38400", "-auto", "-exit"}},
      {"PIC32 loader, port index 0 (COM1)", update::Pic32LoaderArguments("FW.HEX", 0), {"-fFW.HEX", "-c1", "-b7", "-a"}},
      {"PIC32 loader, COM9", update::Pic32LoaderArguments("FW.HEX", 8), {"-fFW.HEX", "-c9", "-b7", "-a"}},
      {"PIC32 loader, COM10 gives ':'", update::Pic32LoaderArguments("FW.HEX", 9), {"-fFW.HEX", "-c:", "-b7", "-a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.got, c.want);
  }
  EXPECT_EQ(update::WinePath("/tmp/pkg/FW.MOT"), "Z:\\tmp\\pkg\\FW.MOT");
  EXPECT_EQ(update::WinePath("sub/FW.MOT"), "sub\\FW.MOT");
}

// The package's upper-case name finds the file in any case; below the current folder it
// stays relative.
TEST(ExternalLoaderArguments, FileNameResolvedInThePackageFolder) {
  std::string dir = testsupport::MakeTempDir("loaderfile");
  WriteText(dir + "/fw_m16.mot", "S9030000FC\r\n");
  std::string cwd = platform::files::CurrentFolder();
  EXPECT_EQ(update::LoaderFileArgument(dir, "FW_M16.MOT"), dir + "/fw_m16.mot");
  ASSERT_TRUE(platform::files::SetCurrentFolder(dir));
  EXPECT_EQ(update::LoaderFileArgument(dir, "FW_M16.MOT"), "fw_m16.mot");
  platform::files::SetCurrentFolder(cwd);
  fs::remove_all(dir);
}

TEST(ExternalLoaderChoice, NativeBuildThenWineThenNone) {
  std::string dir = testsupport::MakeTempDir("choice");
  const std::vector<std::string> args = update::HexLoaderArguments("/pkg/FW.MOT", 3, false);
  ScopedEnv wine("UPDATE_WINE", "/bin/true");
  ScopedEnv prefix("WINEPREFIX", dir + "/prefix");

  EXPECT_EQ(ChooseLoader(dir, "HEXLoad_8N1.exe", args, "/pkg/FW.MOT").kind, LoaderLaunch::Kind::Missing);

  WriteText(dir + "/HEXLOAD_8N1.EXE", "MZ");
  LoaderLaunch w = ChooseLoader(dir, "HEXLoad_8N1.exe", args, "/pkg/FW.MOT");
  EXPECT_EQ(w.kind, LoaderLaunch::Kind::Wine);
  EXPECT_EQ(w.argv, (std::vector<std::string>{"/bin/true", dir + "/HEXLOAD_8N1.EXE", "Z:\\pkg\\FW.MOT", "-com3",
                                              "-baudrate38400", "-auto", "-exit"}));
  EXPECT_EQ(w.winePrefix, dir + "/prefix");
  EXPECT_FALSE(update::WinePrefixReady(w.winePrefix));
  LoaderLaunch p = ChooseLoader(dir, "HEXLoad_8N1.exe", update::Pic32LoaderArguments("/pkg/FW.HEX", 2), "/pkg/FW.HEX");
  EXPECT_EQ(p.argv[2], "-fZ:\\pkg\\FW.HEX");

  // A native build that may not be run does not count; one that may, wins.
  WriteText(dir + "/hexload_8n1", "#!/bin/sh\n");
  EXPECT_EQ(ChooseLoader(dir, "HEXLoad_8N1.exe", args, "/pkg/FW.MOT").kind, LoaderLaunch::Kind::Wine);
  chmod((dir + "/hexload_8n1").c_str(), 0755);
  LoaderLaunch n = ChooseLoader(dir, "HEXLoad_8N1.exe", args, "/pkg/FW.MOT");
  EXPECT_EQ(n.kind, LoaderLaunch::Kind::Native);
  EXPECT_EQ(n.argv, (std::vector<std::string>{dir + "/hexload_8n1", "/pkg/FW.MOT", "-com3", "-baudrate38400",
                                              "-auto", "-exit"}));

  // Without Wine only the native build can run.
  fs::remove(dir + "/hexload_8n1");
  ScopedEnv noWine("UPDATE_WINE", "");
  EXPECT_EQ(ChooseLoader(dir, "HEXLoad_8N1.exe", args, "/pkg/FW.MOT").kind, LoaderLaunch::Kind::Missing);
  fs::remove_all(dir);
}

TEST(ExternalLoaderChoice, WinePortMapping) {
  std::string dir = testsupport::MakeTempDir("dosdevices");
  const std::string devices = dir + "/prefix/dosdevices";
  std::string why;
  ASSERT_TRUE(update::MapWinePort(devices, 3, "/dev/pts/7", &why)) << why;
  EXPECT_EQ(fs::read_symlink(devices + "/com3"), "/dev/pts/7");
  // Another device for the same number replaces the link.
  ASSERT_TRUE(update::MapWinePort(devices, 3, "/dev/ttyUSB0", &why)) << why;
  EXPECT_EQ(fs::read_symlink(devices + "/com3"), "/dev/ttyUSB0");
  // Something that is not a link is left alone, and a port without a device cannot be lent.
  WriteText(devices + "/com4", "");
  EXPECT_FALSE(update::MapWinePort(devices, 4, "/dev/ttyUSB0", &why));
  EXPECT_NE(why.find("com4 is not a link"), std::string::npos) << why;
  EXPECT_FALSE(update::MapWinePort(devices, 5, "loop:COM5", &why));
  EXPECT_FALSE(update::MapWinePort(devices, 6, "", &why));
  fs::remove_all(dir);
}

// The stand-in loader's own check: while another program holds the port it fails.
TEST(StandinLoader, FailsWhileThePortIsHeld) {
  sessiontest::PtyInstrument pty({});
  ASSERT_TRUE(pty.Ok());
  std::string dir = testsupport::MakeTempDir("held");
  WriteText(dir + "/FW.MOT", testsupport::SRecords(testsupport::VersionedImage("1.00")));
  ScopedEnv ports("UPDATE_COM_PORTS", "3=" + pty.SlavePath());
  platform::SetSerialPortMap(std::nullopt);
  platform::SerialOpenResult held = platform::OpenSerialDevice(3);
  ASSERT_TRUE(held.device);
  auto r = testsupport::RunProgram({testsupport::BinPath("standin-loader"), "FW.MOT", "-com3", "-baudrate38400",
                                    "-auto", "-exit"},
                                   dir, {}, 20000);
  EXPECT_EQ(r.status, 69) << r.output;
  EXPECT_NE(r.output.find("held by another program"), std::string::npos) << r.output;
  // Wrong words are refused before anything else.
  r = testsupport::RunProgram({testsupport::BinPath("standin-loader"), "FW.MOT", "-com3", "-baudrate38400", "-exit"},
                              dir, {}, 20000);
  EXPECT_EQ(r.status, 64) << r.output;
  fs::remove_all(dir);
}

// The window with its port on COM3, a pseudo-terminal with the simulated instrument behind
// it; the package folder holds the stand-ins under the names the window looks for.
class LoaderForm : public update::TUpdateForm {
 public:
  using update::TUpdateForm::TUpdateForm;
  using update::TUpdateForm::SetInstrumentPort;
};

class ExternalLoaderTest : public ::testing::Test {
 protected:
  // The row's boot-loader marker and definition file, and the search's baud list, for the
  // handheld instrument in boot mode.
  struct Row {
    std::string bootLoadKenn, progDefFile, baud;
  };
  void Start(sim::InstrumentConfig config, const std::string& devStartCmd = "1", const Row& row = {}) {
    config.recordLoader.enabled = true;
    pty = std::make_unique<sessiontest::PtyInstrument>(std::move(config));
    ASSERT_TRUE(pty->Ok());
    folder = testsupport::MakeTempDir("extloader");
    WriteText(folder + "/Update.ini",
              "Language=1\r\nVersion=V 1.0\r\nBaud=" + row.baud + "\r\nCom=\r\nException=\r\n");
    WriteText(folder + "/ProgDevice.ini",
              "[Device]\r\nDevStartCmd=" + devStartCmd +
                  "\r\nDeviceNrDef=12345\r\nDeviceNr=28160\r\nDeviceName=Oxi 3310\r\n"
                  "ProgFile1=\r\nProgFile2=FW_M16.MOT\r\nProgFile3=\r\nSWKenn1=\r\nSWKenn2=564552533A\r\n"
                  "SWKenn3=\r\nBootLoadKenn=" + row.bootLoadKenn + "\r\nFlashErase1=\r\nFlashErase2=\r\nFlashErase3=\r\n"
                  "ProgDefFile=" + row.progDefFile + "\r\nProzTyp=F16C\r\n\r\n"
                  "StarttextD=Start\r\nStarttextE=Start\r\nAbbruchtextD=Abbruch\r\nAbbruchtextE=Aborted\r\n");
    image = testsupport::VersionedImage("1.05");
    WriteText(folder + "/fw_m16.mot", testsupport::SRecords(image));
    WriteText(folder + "/fw_pic.hex", testsupport::IntelHex(image));
    log = folder + "/loader.log";
    exits = folder + "/exits";
    env.push_back(std::make_unique<ScopedEnv>("UPDATE_COM_PORTS", "3=" + pty->SlavePath()));
    env.push_back(std::make_unique<ScopedEnv>("STANDIN_LOG", log));
    env.push_back(std::make_unique<ScopedEnv>("STANDIN_EXITS", exits));
    env.push_back(std::make_unique<ScopedEnv>("UPDATE_WINE", ""));
    platform::SetSerialPortMap(std::nullopt);
    cwd = platform::files::CurrentFolder();
    platform::files::SetCurrentFolder(folder);
    update::TUpdateForm::Options o;
    o.programFolder = folder;
    form = std::make_unique<LoaderForm>(o);
    ASSERT_FALSE(form->StartupFailed());
    ASSERT_TRUE(form->PortTable[0] && form->PortTable[0]->IsOpen());
    form->SetInstrumentPort(0, 3);
    form->DebugMode = true;
    form->Record().firstProgramFile = "FW_M16.MOT";
  }
  void TearDown() override {
    form.reset();
    if (!cwd.empty()) platform::files::SetCurrentFolder(cwd);
    env.clear();
    pty.reset();
    std::error_code ec;
    if (!folder.empty()) fs::remove_all(folder, ec);
  }
  void Install(const char* name) {
    fs::copy_file(testsupport::BinPath("standin-loader"), folder + "/" + name);
  }
  // The loader's runs: the time of each start.
  std::vector<long long> Runs() {
    std::vector<long long> starts;
    std::istringstream in(ReadText(log));
    std::string line;
    while (std::getline(in, line))
      if (line.find(" run ") != std::string::npos) starts.push_back(std::atoll(line.c_str()));
    return starts;
  }
  // What the session does before a loader runs: the program command at the text rate, which
  // the instrument acknowledges and then waits in its loader.
  void SendProgramCommand() {
    comport::TComPort* port = form->PortTable[0];
    port->ChangeBaudrate(comport::B__9600);
    const std::uint32_t text = pty->instrument.ListeningBaud();
    port->Write("A.1200\r\n", -1, false);
    ASSERT_TRUE(app.RunUntil([&] { return pty->instrument.ListeningBaud() != text; }, 5000));
  }
  bool MemoHas(const std::string& text) {
    for (const std::string& l : form->UpdateMemo->Lines())
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  bool FlashHoldsImage() {
    for (const auto& [address, bytes] : image)
      for (std::size_t i = 0; i < bytes.size(); ++i)
        if (pty->instrument.ReadMemory(address + static_cast<std::uint32_t>(i)) != bytes[i]) return false;
    return true;
  }

  platform::HeadlessApplication app;
  std::unique_ptr<sessiontest::PtyInstrument> pty;
  std::vector<std::unique_ptr<ScopedEnv>> env;
  std::unique_ptr<LoaderForm> form;
  std::string folder, cwd, log, exits;
  testsupport::ImageRuns image;
};

TEST_F(ExternalLoaderTest, ExitCodeOneIsTriedThreeTimesWithPauses) {
  Start({});
  Install("HEXLoad_8N1");
  WriteText(exits, "1 1 1 1\n");
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 1);
  std::vector<long long> runs = Runs();
  ASSERT_EQ(runs.size(), 3u);
  // Each run is followed by a pause of one second before the next.
  EXPECT_GE(runs[1] - runs[0], 1000);
  EXPECT_GE(runs[2] - runs[1], 1000);
  EXPECT_TRUE(MemoHas("HEXLoad_8N1.exe run 3/3: exit code 1"));
  // The port is the window's again.
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
}

TEST_F(ExternalLoaderTest, OtherExitCodeEndsAfterOneRun) {
  Start({});
  Install("HEXLoad_8N1");
  WriteText(exits, "2 0\n");
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 2);
  EXPECT_EQ(Runs().size(), 1u);
}

// While the loader runs, the window's timers and messages are handled: the title shows the
// progress expected from the file size.
TEST_F(ExternalLoaderTest, WindowStaysResponsiveWhileTheLoaderRuns) {
  Start({});
  Install("HEXLoad_8N1");
  WriteText(exits, "2\n");
  ScopedEnv delay("STANDIN_DELAY_MS", "2000");
  platform::Form probe(nullptr, "Probe");
  platform::Timer ticker(&probe, "Ticker");
  int ticks = 0;
  ticker.SetInterval(100);
  ticker.OnTimer = [&ticks](platform::Timer&) { ++ticks; };
  ticker.SetEnabled(true);
  std::vector<std::string> titles;
  app.OnTitleChanged = [&titles](const std::string& t) { titles.push_back(t); };
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 2);
  ticker.SetEnabled(false);
  app.OnTitleChanged = nullptr;
  EXPECT_GE(ticks, 10);
  // The image is under 2000 bytes, so no tick is expected: the first shows 100 %.
  EXPECT_NE(std::find(titles.begin(), titles.end(), "Update [ 100.0 %]"), titles.end());
  EXPECT_EQ(titles.back(), "Update");
}

TEST_F(ExternalLoaderTest, ShortFirstProgramFileStartsNothing) {
  Start({});
  Install("HEXLoad_8N1");
  form->Record().firstProgramFile = "A.MO";
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 1);
  EXPECT_EQ(form->RunPic32Loader("FW_M16.MOT"), 1);
  EXPECT_TRUE(Runs().empty());
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
}

TEST_F(ExternalLoaderTest, MissingProgramIsNamedAndCountsAsThreeFailedStarts) {
  Start({});
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 1);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].text,
            "The loader program HEXLoad_8N1.exe cannot be started: it needs a native build (the same name without "
            "\".exe\") in the program folder, or Wine installed.");
  EXPECT_TRUE(MemoHas("HEXLoad_8N1.exe cannot be started"));
  EXPECT_TRUE(MemoHas("HEXLoad_8N1.exe run 3/3: exit code 1"));
  EXPECT_FALSE(MemoHas("run 4/3"));
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
}

// The stand-in opens the port exclusively, so its success shows that the window had let go;
// afterwards the window holds the port again at the settings it had.
TEST_F(ExternalLoaderTest, PortIsLentAndTakenBackWithItsSettings) {
  Start({});
  Install("HEXLoad_8N1");
  SendProgramCommand();
  comport::TComPort* port = form->PortTable[0];
  port->ChangeV24Parameter(comport::B_19200, comport::S_2, comport::NoParity, true);
  const platform::LineSettings before = port->LoadV24Parameter();
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 0);
  EXPECT_NE(ReadText(log).find("exit 0"), std::string::npos) << ReadText(log);
  EXPECT_TRUE(FlashHoldsImage());
  EXPECT_EQ(pty->instrument.FirmwareStarts(), 1);
  ASSERT_TRUE(port->IsOpen());
  EXPECT_EQ(port->LoadV24Parameter(), before);
  EXPECT_EQ(pty->HostLine().baud, 19200u);
  EXPECT_EQ(pty->HostLine().stopBits, platform::StopBits::Two);
}

// In start mode 2 a successful HEX loader leaves the line at 9600, 2 stop bits, no parity,
// NUL bytes dropped; a failed one puts the last settings back.
TEST_F(ExternalLoaderTest, StartModeTwoTakesTheFixedLineAfterSuccessOnly) {
  Start({}, "3");
  ASSERT_EQ(form->StartMode(), procedure::StartModeTag::Sensor);
  Install("HEXLoad_8N1");
  SendProgramCommand();
  comport::TComPort* port = form->PortTable[0];
  port->ChangeV24Parameter(comport::B_19200, comport::S_1, comport::NoParity, false);
  const platform::LineSettings before = port->LoadV24Parameter();
  WriteText(exits, "2\n");
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 2);
  EXPECT_EQ(port->LoadV24Parameter(), before);
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 0);
  platform::LineSettings after = port->LoadV24Parameter();
  EXPECT_EQ(after.baud, 9600u);
  EXPECT_EQ(after.stopBits, platform::StopBits::Two);
  EXPECT_EQ(after.parity, platform::Parity::None);
  EXPECT_TRUE(after.discardNul);
}

TEST_F(ExternalLoaderTest, Pic32LoaderRetriesWithLongerPausesAndPrograms) {
  sim::InstrumentConfig c;
  c.recordLoader.baud = 115200;
  Start(c);
  Install("PIC32_Serial_Bootloader");
  form->Record().firstProgramFile = "FW_PIC.HEX";
  WriteText(exits, "1 0\n");
  SendProgramCommand();
  EXPECT_EQ(form->RunPic32Loader("FW_PIC.HEX"), 0);
  std::vector<long long> runs = Runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_GE(runs[1] - runs[0], 1500);
  EXPECT_NE(ReadText(log).find(" run -ffw_pic.hex -c3 -b7 -a"), std::string::npos) << ReadText(log);
  EXPECT_TRUE(FlashHoldsImage());
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
}

// The updater library, when the package has it, takes the place of the program; its failed
// step is the result, in the log and in a box.
TEST_F(ExternalLoaderTest, UpdaterLibraryProgramsOrReportsItsFailedStep) {
  Start({});
  Install("HEXLoad_8N1");
  fs::copy_file(std::string(STANDIN_DIR) + "/ZANM16Updater.so", folder + "/ZANM16Updater.so");
  SendProgramCommand();
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 0);
  EXPECT_TRUE(Runs().empty());  // the program was not started
  EXPECT_TRUE(FlashHoldsImage());
  EXPECT_EQ(pty->instrument.FirmwareStarts(), 1);
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
  EXPECT_EQ(form->WaitProgressBar->Max(), 105);

  SendProgramCommand();
  ScopedEnv fail("STANDIN_FAIL", "Clear");
  EXPECT_EQ(form->RunHexLoader("FW_M16.MOT"), 100 + static_cast<int>(loaders::HexLoadStep::Clear));
  EXPECT_TRUE(MemoHas("Updater library: M16Upd_Clear failed."));
  ASSERT_FALSE(app.Boxes().empty());
  EXPECT_EQ(app.Boxes().back().text, "Updater library: M16Upd_Clear failed.");
  EXPECT_TRUE(form->PortTable[0]->IsOpen());
}

// A handheld instrument in boot mode: its loader's identification answers the search's
// wake-up frame; the session checks the identification against the row's marker and has the
// loader program write the row's definition file; after the instrument has stored it (9 s),
// a new session starts by itself, identifies the instrument, which now runs the definition
// file's firmware, and updates it the usual way. The whole session runs in real time (the
// loader is a program of its own).
TEST_F(ExternalLoaderTest, HandheldInBootModeGetsItsDefinitionFileThenTheUpdate) {
  sim::InstrumentConfig c;
  c.baud = 38400;  // the handheld loader's rate, where the search wakes it
  c.bootMode = sim::BootMode::IdFrame;
  c.bootText = "M16 BL V2.01";
  c.wakeFrames = 1u << 0;
  c.version = "0.00";
  Start(c, "1", {"M16 BL", "DEF_M16.MOT", "5"});
  Install("HEXLoad_8N1");
  const testsupport::ImageRuns definition = testsupport::VersionedImage("1.00", 300);
  WriteText(folder + "/DEF_M16.MOT", testsupport::SRecords(definition));
  form->DebugMode = false;
  form->Record().firstProgramFile.clear();
  form->OkBitBtn->Click();
  ASSERT_TRUE(app.RunUntil([&] { return form->SessionOver() || form->OkBitBtn->Enabled() || form->Closed(); },
                           150000));
  EXPECT_TRUE(form->SessionSucceeded()) << testing::PrintToString(form->UpdateMemo->Lines());
  EXPECT_TRUE(FlashHoldsImage());
  EXPECT_EQ(pty->instrument.Version(), "1.05");
  EXPECT_TRUE(form->ExternalLoaderDone);
  EXPECT_TRUE(MemoHas("Download successfully completed !"));
  // Two loader runs: the definition file in boot mode, then the first program file.
  std::string runs = ReadText(log);
  EXPECT_NE(runs.find(" run DEF_M16.MOT -com3 -baudrate38400 -auto -exit"), std::string::npos) << runs;
  EXPECT_NE(runs.find(" run fw_m16.mot -com3"), std::string::npos) << runs;  // as the folder spells it
  EXPECT_LT(runs.find("DEF_M16.MOT"), runs.find("fw_m16.mot"));
  EXPECT_EQ(form->Record().bootLoaderId, "") << "the second session is a normal one";
  EXPECT_FALSE(form->TGZ48Programming->Enabled());
}

// A loader identification that does not carry the row's marker is another instrument: the
// wrong-device refusal, no loader is started.
TEST_F(ExternalLoaderTest, HandheldBootIdentificationWithoutTheMarkerIsRefused) {
  sim::InstrumentConfig c;
  c.baud = 38400;
  c.bootMode = sim::BootMode::IdFrame;
  c.bootText = "PIC BL 1.0";
  c.wakeFrames = 1u << 0;
  Start(c, "1", {"M16 BL", "DEF_M16.MOT", "5"});
  Install("HEXLoad_8N1");
  WriteText(folder + "/DEF_M16.MOT", testsupport::SRecords(testsupport::VersionedImage("1.00", 300)));
  form->OkBitBtn->Click();
  ASSERT_TRUE(app.RunUntil([&] { return form->OkBitBtn->Enabled() || form->Closed(); }, 60000));
  EXPECT_EQ(form->SessionOutcome(), update::TUpdateForm::Outcome::Refused);
  ASSERT_FALSE(app.Boxes().empty());
  EXPECT_EQ(app.Boxes().back().text, "Wrong device connected !!");
  EXPECT_TRUE(Runs().empty());
}

}  // namespace
