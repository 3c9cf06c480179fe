// Whole sessions through the external loaders with the real programs, in real time:
// instrument-sim (with its record loader) on a pseudo-terminal, update-console in a package
// whose loader program or updater library is the project's stand-in, and once a Windows
// test loader run through Wine. Each ends with the success text and the end command, and the
// instrument's flash holds the package's image.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/SimProgram.h"
#include "support/RecordImages.h"
#include "support/RunProgram.h"
#include "update/ExternalLoaders.h"

namespace {

namespace fs = std::filesystem;
using testsupport::BinPath;
using testsupport::RunProgram;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct Package {
  std::string progFile1;  // the further version file
  std::string progFile2;  // the first program file
  std::string devStartCmd = "1";
};

class ExternalLoaderSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::MakeTempDir("extsession");
    ASSERT_FALSE(dir.empty());
    pkg = dir + "/package";
    fs::create_directories(pkg);
    fs::copy_file(testsupport::SourcePath("package/Update.ini"), pkg + "/Update.ini");
    fs::copy_file(testsupport::SourcePath("package/Update.Eng"), pkg + "/Update.Eng");
    fs::copy_file(testsupport::SourcePath("package/Update.Deu"), pkg + "/Update.Deu");
    image = testsupport::VersionedImage("1.05", 2000);
    WriteText(dir + "/image.txt", testsupport::TiTxt(image));
  }
  void TearDown() override {
    if (sim && sim->pid > 0) {
      kill(sim->pid, SIGTERM);
      sim->Exited(5000);
    }
    sim.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void WritePackage(const Package& p) {
    WriteText(pkg + "/ProgDevice.ini",
              "[Oxi 3310]\r\nDevStartCmd=" + p.devStartCmd +
                  "\r\nDeviceNrDef=12345\r\nDeviceNr=28160\r\nDeviceName=Oxi 3310\r\n"
                  "ProgFile1=" + p.progFile1 + "\r\nProgFile2=" + p.progFile2 +
                  "\r\nProgFile3=\r\nSWKenn1=\r\nSWKenn2=564552533A\r\nSWKenn3=\r\nBootLoadKenn=\r\n"
                  "FlashErase1=\r\nFlashErase2=\r\nFlashErase3=\r\nProgDefFile=\r\nProzTyp=F16C\r\n\r\n"
                  "StarttextD=Start mit OK\r\nStarttextE=Start with OK\r\n"
                  "AbbruchtextD=Abbruch\r\nAbbruchtextE=Update aborted\r\n");
  }
  void StartSimulator(const std::string& recordBaud) {
    sim = std::make_unique<simtest::Program>(std::vector<std::string>{
        "--record-loader", recordBaud, "--version", "1.01", "--log", dir + "/sim.log", "--dump", dir + "/flash.txt"});
    ASSERT_GT(sim->pid, 0);
    ASSERT_FALSE(sim->slave.empty());
  }
  testsupport::ProgramResult RunConsole(std::vector<std::pair<std::string, std::string>> env, int timeoutMs = 240000) {
    env.push_back({"UPDATE_COM_PORTS", "3=" + sim->slave});
    env.push_back({"STANDIN_LOG", dir + "/loader.log"});
    return RunProgram({BinPath("update-console"), "--yes"}, pkg, env, timeoutMs);
  }
  // Ends the simulator (it writes its dump) and compares the flash with the image.
  std::string StopAndCompare() {
    kill(sim->pid, SIGTERM);
    EXPECT_TRUE(sim->Exited(10000));
    auto r = RunProgram({BinPath("instrument-sim"), "--compare", dir + "/flash.txt", dir + "/image.txt"}, dir, {}, 20000);
    EXPECT_EQ(r.status, 0) << r.output;
    return ReadText(dir + "/sim.log");
  }
  void ExpectSuccess(const testsupport::ProgramResult& r) {
    EXPECT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  }
  void Install(const std::string& from, const std::string& name) { fs::copy_file(from, pkg + "/" + name); }

  std::string dir, pkg;
  testsupport::ImageRuns image;
  std::unique_ptr<simtest::Program> sim;
};

TEST_F(ExternalLoaderSession, HexLoaderProgramsTheFirstFileAtItsStep) {
  WritePackage({"", "FW_M16.MOT"});
  WriteText(pkg + "/FW_M16.MOT", testsupport::SRecords(image));
  Install(BinPath("standin-loader"), "HEXLoad_8N1");
  StartSimulator("38400");
  auto r = RunConsole({});
  ExpectSuccess(r);
  std::string log = StopAndCompare();
  std::string runs = ReadText(dir + "/loader.log");
  EXPECT_EQ(Count(runs, " run FW_M16.MOT -com3 -baudrate38400 -auto -exit"), 1u) << runs;
  EXPECT_NE(runs.find(" exit 0"), std::string::npos) << runs;
  EXPECT_NE(log.find("cmd A.1200"), std::string::npos) << log;
  EXPECT_NE(log.find("firmware started, version 1.05"), std::string::npos) << log;
  EXPECT_NE(log.find("cmd A.1111"), std::string::npos) << log;  // the end command
}

// The further version file goes through the loader first (the sequencer's step 2), then the
// first program file at notification 10030; the flash ends with the first program file.
TEST_F(ExternalLoaderSession, FurtherVersionFileGoesFirst) {
  WritePackage({"FW_2ND.MOT", "FW_M16.MOT"});
  WriteText(pkg + "/FW_M16.MOT", testsupport::SRecords(image));
  WriteText(pkg + "/FW_2ND.MOT", testsupport::SRecords(testsupport::VersionedImage("2.00", 300)));
  Install(BinPath("standin-loader"), "HEXLoad_8N1");
  StartSimulator("38400");
  auto r = RunConsole({});
  ExpectSuccess(r);
  std::string log = StopAndCompare();
  std::string runs = ReadText(dir + "/loader.log");
  std::size_t second = runs.find(" run FW_2ND.MOT -com3");
  std::size_t first = runs.find(" run FW_M16.MOT -com3");
  ASSERT_NE(second, std::string::npos) << runs;
  ASSERT_NE(first, std::string::npos) << runs;
  EXPECT_LT(second, first);
  EXPECT_EQ(Count(runs, " exit 0"), 2u) << runs;
  EXPECT_EQ(Count(log, "cmd A.1200"), 2u) << log;
  EXPECT_NE(log.find("firmware started, version 2.00"), std::string::npos) << log;
  EXPECT_NE(log.find("cmd A.1111"), std::string::npos) << log;
}

TEST_F(ExternalLoaderSession, HexPackageGoesThroughThePic32Loader) {
  WritePackage({"", "FW_PIC.HEX"});
  WriteText(pkg + "/FW_PIC.HEX", testsupport::IntelHex(image));
  Install(BinPath("standin-loader"), "PIC32_Serial_Bootloader");
  StartSimulator("115200");
  auto r = RunConsole({});
  ExpectSuccess(r);
  std::string log = StopAndCompare();
  std::string runs = ReadText(dir + "/loader.log");
  EXPECT_EQ(Count(runs, " run -fFW_PIC.HEX -c3 -b7 -a"), 1u) << runs;
  EXPECT_NE(log.find("cmd A.1111"), std::string::npos) << log;
}

TEST_F(ExternalLoaderSession, UpdaterLibraryTakesThePlaceOfTheProgram) {
  WritePackage({"", "FW_M16.MOT"});
  WriteText(pkg + "/FW_M16.MOT", testsupport::SRecords(image));
  Install(BinPath("standin-loader"), "HEXLoad_8N1");
  Install(std::string(STANDIN_DIR) + "/ZANM16Updater.so", "ZANM16Updater.so");
  StartSimulator("38400");
  auto r = RunConsole({});
  ExpectSuccess(r);
  std::string log = StopAndCompare();
  std::string calls = ReadText(dir + "/loader.log");
  EXPECT_EQ(calls.find(" run "), std::string::npos) << "the program ran:\n" << calls;
  EXPECT_NE(calls.find(" Init 3"), std::string::npos) << calls;
  EXPECT_NE(calls.find(" Program FW_M16.MOT 0"), std::string::npos) << calls;
  EXPECT_NE(calls.find(" Deinit"), std::string::npos) << calls;
  EXPECT_NE(log.find("cmd A.1111"), std::string::npos) << log;
}

// A library step that fails is the session's failure: the abort text, OK for a retry, and no
// success text.
TEST_F(ExternalLoaderSession, FailingLibraryStepTakesTheFailurePath) {
  WritePackage({"", "FW_M16.MOT"});
  WriteText(pkg + "/FW_M16.MOT", testsupport::SRecords(image));
  Install(std::string(STANDIN_DIR) + "/ZANM16Updater.so", "ZANM16Updater.so");
  StartSimulator("38400");
  auto r = RunConsole({{"STANDIN_FAIL", "Program"}});
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_NE(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Updater library: M16Upd_Program failed."), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Update aborted"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Download successfully completed"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Store new data"), std::string::npos) << r.output;
}

// A Windows loader built with MinGW, run through Wine in a prefix of the build's own, reaches
// the simulator through the prefix's device link for COM3.
TEST_F(ExternalLoaderSession, WindowsLoaderRunsThroughWine) {
  if (update::WineProgram().empty()) GTEST_SKIP() << "wine is not installed (the test set-up in scripts/setup.sh installs it)";
  const std::string exe = std::string(STANDIN_DIR) + "/HEXLoad_8N1.exe";
  ASSERT_TRUE(fs::exists(exe)) << exe << " was not built: the MinGW compiler (gcc-mingw-w64-x86-64) is missing";
  WritePackage({"", "FW_M16.MOT"});
  WriteText(pkg + "/FW_M16.MOT", testsupport::SRecords(image));
  Install(exe, "HEXLoad_8N1.exe");
  StartSimulator("38400");
  fs::create_directories(WINE_PREFIX_DIR);
  // Wine's first start in a fresh prefix sets the prefix up first: allow for it.
  auto r = RunConsole({{"WINEPREFIX", WINE_PREFIX_DIR}, {"WINEDEBUG", "-all"}}, 280000);
  ExpectSuccess(r);
  StopAndCompare();
  EXPECT_EQ(fs::read_symlink(std::string(WINE_PREFIX_DIR) + "/dosdevices/com3"), sim->slave);
}

}  // namespace
