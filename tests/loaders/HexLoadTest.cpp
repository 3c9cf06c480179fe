// THexLoad against the stand-in updater library: the call order, the failing steps and how
// they are reported, the progress on the window's thread, and the entry-point lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "loaders/Hexloadunit.h"
#include "support/FakeHost.h"
#include "support/RunProgram.h"

namespace {

namespace fs = std::filesystem;
using loaders::HexLoadStep;
using loaders::THexLoad;

// The stand-in library in a package folder of its own, in dry mode (it talks to no port).
class HexLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.folder = testsupport::MakeTempDir("hexload");
    fs::copy_file(std::string(STANDIN_DIR) + "/ZANM16Updater.so", host.folder + "/ZANM16Updater.so");
    log = host.folder + "/calls.log";
    setenv("STANDIN_LOG", log.c_str(), 1);
    setenv("STANDIN_DRY", "1", 1);
    unsetenv("STANDIN_FAIL");
    unsetenv("STANDIN_PROGRESS");
    host.bar->SetMax(105);
  }
  void TearDown() override {
    for (const char* v : {"STANDIN_LOG", "STANDIN_DRY", "STANDIN_FAIL", "STANDIN_PROGRESS"}) unsetenv(v);
    std::error_code ec;
    fs::remove_all(host.folder, ec);
  }

  // One sequence for the file on COM3; the calls the library saw, without their times.
  HexLoadStep Run(const std::string& file = "FW_M16.MOT") {
    THexLoad t(true, host.Context());
    EXPECT_TRUE(t.IsLoaded());
    t.Start(file.c_str(), 3);
    EXPECT_TRUE(host.app.RunUntil([&t] { return !t.IsBusy(); }, 60000));
    host.app.ProcessMessages();  // the last progress messages
    return t.FailedStep();
  }
  std::vector<std::string> Calls(std::vector<long long>* times = nullptr) {
    std::ifstream in(log);
    std::vector<std::string> calls;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      long long ms;
      std::string rest;
      words >> ms;
      std::getline(words >> std::ws, rest);
      calls.push_back(rest);
      if (times) times->push_back(ms);
    }
    return calls;
  }

  testsupport::FakeHost host;
  std::string log;
};

TEST_F(HexLoadTest, SuccessCallsEveryStepInOrder) {
  EXPECT_EQ(Run(), HexLoadStep::None);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"Init 3", "IsBTLActive", "Clear", "Program FW_M16.MOT 0", "MakeValid",
                                               "ExitAndStartApplication", "Deinit"}));
  // The five steps show on the window's thread: the bar one further each, the title 1..5,
  // then the library's 50 % as 55 on the bar and 52.5 in the title.
  EXPECT_EQ(host.titles, (std::vector<float>{1, 2, 3, 4, 5, 52.5f}));
  EXPECT_EQ(host.bar->Position(), 55);
}

TEST_F(HexLoadTest, InactiveBootLoaderIsAskedTwiceThenLeft) {
  setenv("STANDIN_FAIL", "IsBTLActive", 1);
  EXPECT_EQ(Run(), HexLoadStep::BootLoaderCheck);
  std::vector<long long> times;
  EXPECT_EQ(Calls(&times), (std::vector<std::string>{"Init 3", "IsBTLActive", "IsBTLActive", "Deinit"}));
  ASSERT_EQ(times.size(), 4u);
  EXPECT_GE(times[2] - times[1], 200);
  EXPECT_LT(times[2] - times[1], 2000);
}

// Each failing step skips the rest but still ends the connection, and is the outcome.
TEST_F(HexLoadTest, FailingStepSkipsTheRestAndIsReported) {
  struct Case {
    const char* fail;
    HexLoadStep step;
    std::vector<std::string> calls;
  } cases[] = {
      {"Init", HexLoadStep::Init, {"Init 3", "Deinit"}},
      {"Clear", HexLoadStep::Clear, {"Init 3", "IsBTLActive", "Clear", "Deinit"}},
      {"Program", HexLoadStep::Program, {"Init 3", "IsBTLActive", "Clear", "Program FW_M16.MOT 0", "Deinit"}},
      // The application is started even so; the unmarked image is still a failure.
      {"MakeValid",
       HexLoadStep::MakeValid,
       {"Init 3", "IsBTLActive", "Clear", "Program FW_M16.MOT 0", "MakeValid", "ExitAndStartApplication", "Deinit"}},
      // Its start is the session's to see: no failure of the update.
      {"ExitAndStartApplication",
       HexLoadStep::None,
       {"Init 3", "IsBTLActive", "Clear", "Program FW_M16.MOT 0", "MakeValid", "ExitAndStartApplication", "Deinit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    fs::remove(log);
    setenv("STANDIN_FAIL", c.fail, 1);
    EXPECT_EQ(Run(), c.step);
    EXPECT_EQ(Calls(), c.calls);
  }
  EXPECT_EQ(loaders::HexLoadStepText(HexLoadStep::BootLoaderCheck), "M16Upd_IsBTLActive");
}

TEST_F(HexLoadTest, ProgressRunsBarToItsEndAndTitleToHundred) {
  setenv("STANDIN_PROGRESS", "0,100", 1);
  EXPECT_EQ(Run(), HexLoadStep::None);
  EXPECT_EQ(host.titles, (std::vector<float>{1, 2, 3, 4, 5, 5, 100}));
  EXPECT_EQ(host.bar->Position(), 105);
}

// The library's buffer holds 79 characters: a longer name is not cut to another file.
TEST_F(HexLoadTest, FileNameAtTheBufferLimit) {
  const std::string longest(79, 'A');
  EXPECT_EQ(Run(longest), HexLoadStep::None);
  EXPECT_EQ(Calls()[3], "Program " + longest + " 0");
  fs::remove(log);
  THexLoad t(true, host.Context());
  t.Start(std::string(80, 'A').c_str(), 3);
  EXPECT_FALSE(t.IsBusy());
  EXPECT_EQ(t.FailedStep(), HexLoadStep::FileName);
  EXPECT_FALSE(fs::exists(log));
}

TEST_F(HexLoadTest, NoLibraryInThePackageFolder) {
  fs::remove(host.folder + "/ZANM16Updater.so");
  THexLoad t(true, host.Context());
  EXPECT_FALSE(t.IsLoaded());
  // Also accepted under the usual name of a library on this system, in any case.
  fs::copy_file(std::string(STANDIN_DIR) + "/ZANM16Updater.so", host.folder + "/libzanm16updater.SO");
  THexLoad t2(true, host.Context());
  EXPECT_TRUE(t2.IsLoaded());
}

// Decorated names are preferred, plain names are the fallback, and an absent entry stays null.
TEST(HexLoadEntry, DecoratedThenPlainNames) {
  static int decorated, plain;
  auto lookup = [](const char* name) -> void* {
    const std::string n = name;
    if (n == "?M16Upd_Init@@YAHH@Z") return &decorated;
    if (n == "M16Upd_Init" || n == "M16Upd_Clear") return &plain;
    if (n == "?M16Upd_Program@@YAHPB_WHP6AXH@Z@Z") return &decorated;
    return nullptr;
  };
  loaders::M16Entry e = loaders::ResolveM16Entry(lookup);
  EXPECT_EQ(reinterpret_cast<void*>(e.init), &decorated);
  EXPECT_EQ(reinterpret_cast<void*>(e.clear), &plain);
  EXPECT_EQ(reinterpret_cast<void*>(e.program), &decorated);
  EXPECT_EQ(e.isBtlActive, nullptr);
  EXPECT_EQ(e.deinit, nullptr);
}

}  // namespace
