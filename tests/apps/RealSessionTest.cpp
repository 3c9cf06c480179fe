// Whole sessions with the real programs, in real time: instrument-sim serves a simulated
// instrument on a pseudo-terminal, update-console runs in a copy of the sample package with
// COM 3 mapped onto that terminal. Each case starts its own simulator, so ctest can run the
// slow cases side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "AppsHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::BinPath;
using testsupport::RunProgram;
using testsupport::SourcePath;

testsupport::ProgramResult RunConsole(const std::string& package, const Simulator& sim, int timeoutMs) {
  // --verbose: every status change as a "[status N]" line.
  return RunProgram({BinPath("update-console"), "--yes", "--verbose"}, package,
                    {{"UPDATE_COM_PORTS", "3=" + sim.Tty()}}, timeoutMs);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RealSession, NewerInstrumentIsRefused) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--version", "1.30"})) << sim.Output();

  auto r = RunConsole(pkg, sim, 120000);
  sim.Stop();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 3) << r.output;  // refused
  EXPECT_NE(r.output.find("[status 1] Com3"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[error box] Error: No valid software version !!"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("The software version1.30 in your device is more up to date then the download "
                          "program can provide."),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("Download successfully completed"), std::string::npos) << r.output;
  // The instrument was asked for its version, and the loader was never started.
  EXPECT_NE(log.find("cmd A.2001"), std::string::npos) << log;
  EXPECT_EQ(log.find("A.5588"), std::string::npos) << log;
  EXPECT_EQ(log.find("state loader"), std::string::npos) << log;
}

TEST(RealSession, NoAnswerEndsTheProgramAfterTwoSearches) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  // One rate only (9600), so the search is its probes and the boot-loader wake-ups.
  std::string ini = ReadText(pkg + "/Update.ini");
  std::size_t at = ini.find("Baud=");
  ASSERT_NE(at, std::string::npos);
  ini.replace(at, ini.find_first_of("\r\n", at) - at, "Baud=3");
  WriteText(pkg + "/Update.ini", ini);
  Simulator sim;
  // The instrument hears everything at 9600 but acknowledges no probe.
  ASSERT_TRUE(sim.Start(dir, {"--ack-probe", "none"})) << sim.Output();

  auto start = std::chrono::steady_clock::now();
  auto r = RunConsole(pkg, sim, 150000);
  double seconds = SecondsSince(start);
  sim.Stop();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 4) << r.output;  // no instrument found

  const std::string hint = "[info box] Info: Switch the device off, hold the PRG key and switch it on again.";
  const std::string first = "[error box] Error: No device found !!\nIs the meter correctly connected an switched on?\n"
                            "Repeat automatic search with Ok";
  const std::string second = "[error box] Error: No device found !!\nProgram is aborted !!";
  std::size_t hint1 = r.output.find(hint);
  std::size_t box1 = r.output.find(first);
  std::size_t hint2 = hint1 == std::string::npos ? hint1 : r.output.find(hint, hint1 + 1);
  std::size_t box2 = r.output.find(second);
  ASSERT_NE(hint1, std::string::npos) << r.output;
  ASSERT_NE(box1, std::string::npos) << r.output;
  ASSERT_NE(hint2, std::string::npos) << r.output;
  ASSERT_NE(box2, std::string::npos) << r.output;
  EXPECT_LT(hint1, box1);
  EXPECT_LT(box1, hint2);
  EXPECT_LT(hint2, box2);
  EXPECT_EQ(r.output.find("BL-Baud", box2), std::string::npos) << "searched on after the end:\n" << r.output;
  EXPECT_NE(r.output.find("[console] session did not end well"), std::string::npos) << r.output;

  // Both searches reached the instrument: the probe came through the terminal twice.
  std::size_t probe1 = log.find("cmd A.1111");
  ASSERT_NE(probe1, std::string::npos) << log;
  EXPECT_NE(log.find("cmd A.1111", probe1 + 1), std::string::npos) << log;
  // Two searches with their fixed waits, but nowhere near a hang.
  EXPECT_GT(seconds, 20.0) << r.output;
  EXPECT_LT(seconds, 90.0) << r.output;
}

TEST(RealSession, CompleteUpdateLeavesTheImageInFlash) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  std::string dump = dir / "flash.txt";
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT"), "--dump", dump}))
      << sim.Output();

  auto r = RunConsole(pkg, sim, 240000);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[console] session ended well"), std::string::npos) << r.output;
  EXPECT_NE(log.find("state firmware started, version 1.02"), std::string::npos) << log;

  auto same = RunProgram({BinPath("instrument-sim"), "--compare", dump, pkg + "/FW_DEMO.TXT"}, dir.path, {}, 20000);
  EXPECT_EQ(same.status, 0) << same.output;
  // The old image is gone, which the check must notice.
  auto old = RunProgram({BinPath("instrument-sim"), "--compare", dump, SourcePath("sim/firmware/FW_DEMO_101.TXT")},
                        dir.path, {}, 20000);
  EXPECT_EQ(old.status, 1) << old.output;
}

// The instrument goes away in the middle of the writes: instrument-sim closes its terminal,
// the tool sees the hang-up, ends the run at once with a message naming the port and exits
// non-zero instead of waiting out the loader's time-outs.
TEST(RealSession, InstrumentGoneMidWriteEndsTheRunAtOnce) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT"),
                              "--disconnect-after-frames", "20"}))
      << sim.Output();
  auto start = std::chrono::steady_clock::now();
  auto r = RunConsole(pkg, sim, 180000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sim.Stop();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 5) << r.output;  // port problem
  EXPECT_NE(r.output.find("went away"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Download successfully completed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[console] session did not end well"), std::string::npos) << r.output;
  // The search, the identification and the 8 s loader entry, then the end: no 5 s silences.
  EXPECT_LT(seconds, 45.0) << r.output;
}

// The flash check the demo relies on, on small made-up files.
TEST(FlashCompare, ExitStatusAndFirstDifference) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string image = "@1100\r\n01 02 FF 04\r\n@FFFE\r\n00 0C\r\nq\r\n";
  WriteText(dir / "image.txt", image);
  struct Case {
    const char* name;
    std::string dump;  // empty: no such file
    int status;
    const char* says;
  } cases[] = {
      {"identical", image, 0, "flash equals the image (6 bytes)"},
      // A dump lists only programmed bytes; an erased byte of the image is not in it.
      {"erased byte not listed", "@1100\r\n01 02\r\n@1103\r\n04\r\n@FFFE\r\n00 0C\r\nq\r\n", 0, "equals"},
      {"byte differs", "@1100\r\n01 02 FF 05\r\n@FFFE\r\n00 0C\r\nq\r\n", 1,
       "in 1 bytes; first at 0x1103: flash 0x05, image 0x04"},
      {"byte missing", "@1100\r\n01 02 FF 04\r\n@FFFE\r\n00\r\nq\r\n", 1, "first at 0xFFFF: flash 0xFF, image 0x0C"},
      {"extra byte programmed", "@1000\r\nAA\r\n" + image, 1, "first at 0x1000: flash 0xAA, not in the image"},
      {"extra byte above 64 KB", "@10000\r\n00\r\n" + image, 1, "first at 0x10000: flash 0x00, not in"},
      {"not TI-TXT", "Language=1\r\n", 2, "is no TI-TXT file"},
      {"no dump", "", 2, "cannot read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dump = dir / "dump.txt";
    fs::remove(dump);
    if (!c.dump.empty()) WriteText(dump, c.dump);
    auto r = RunProgram({BinPath("instrument-sim"), "--compare", dump, dir / "image.txt"}, dir.path, {}, 10000);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
  // An image without bytes is refused rather than matched.
  WriteText(dir / "empty.txt", "q\r\n");
  auto r = RunProgram({BinPath("instrument-sim"), "--compare", dir / "image.txt", dir / "empty.txt"}, dir.path, {},
                      10000);
  EXPECT_EQ(r.status, 2) << r.output;
}

}  // namespace
