// The production-line launcher: instruments on two ports updated at the same time, each run
// opening only its own port, one of them refused; the summary table and the status say so.
#include <gtest/gtest.h>

#include <sstream>

#include "AppsHarness.h"

namespace {

using testsupport::BinPath;
using testsupport::RunProgram;
using testsupport::SourcePath;

TEST(UpdateLine, TwoInstrumentsAtOnceWithASummary) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  Simulator older, newer;
  ASSERT_TRUE(older.Start(dir, {"--baud", "4800", "--serial", "11110001", "--firmware",
                                SourcePath("sim/firmware/FW_DEMO_101.TXT"), "--dump", dir / "flash-a.txt"},
                          "-a"))
      << older.Output();
  ASSERT_TRUE(newer.Start(dir, {"--baud", "4800", "--serial", "22220002", "--version", "1.30"}, "-b"))
      << newer.Output();

  auto start = std::chrono::steady_clock::now();
  auto r = RunProgram({BinPath("update-line"), "--package", pkg, "--log-dir", dir / "logs", "-l", "en",
                       dir / "tty-a", dir / "tty-b"},
                      dir.path, {}, 240000);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  older.Stop();
  newer.Stop();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 1) << r.output;  // one run was refused

  // The table: a header, then one row per device in the order given.
  std::size_t table = r.output.find("\nport ");
  ASSERT_NE(table, std::string::npos) << r.output;
  std::istringstream rows(r.output.substr(table + 1));
  std::string header, a, b;
  std::getline(rows, header);
  std::getline(rows, a);
  std::getline(rows, b);
  EXPECT_EQ(a.rfind(dir / "tty-a", 0), 0u) << a;
  EXPECT_NE(a.find("Oxi 3310 DEMO"), std::string::npos) << a;
  EXPECT_NE(a.find("11110001"), std::string::npos) << a;
  EXPECT_NE(a.find("1.01"), std::string::npos) << a;
  EXPECT_NE(a.find("1.02"), std::string::npos) << a;
  EXPECT_EQ(a.find("updated"), header.find("outcome")) << header << "\n" << a;
  EXPECT_EQ(a.substr(header.find("exit"), 2), "0 ") << a;
  EXPECT_EQ(b.rfind(dir / "tty-b", 0), 0u) << b;
  EXPECT_NE(b.find("22220002"), std::string::npos) << b;
  EXPECT_EQ(b.find("refused"), header.find("outcome")) << header << "\n" << b;
  EXPECT_EQ(b.substr(header.find("exit"), 2), "3 ") << b;
  EXPECT_NE(r.output.find("tty-b: refused: the instrument's version 1.30 is newer"), std::string::npos) << r.output;
  // Progress was shown per instrument while they ran.
  EXPECT_NE(r.output.find("tty-a: programming"), std::string::npos) << r.output;

  // Both ran at once: together hardly longer than the update alone.
  EXPECT_LT(seconds, 90.0);
  auto same = RunProgram({BinPath("instrument-sim"), "--compare", dir / "flash-a.txt", pkg + "/FW_DEMO.TXT"}, "", {},
                         20000);
  EXPECT_EQ(same.status, 0) << same.output;
  // One log per device, each about its own instrument only.
  std::string logA = ReadText(dir / "logs/tty-a.log");
  std::string logB = ReadText(dir / "logs/tty-b.log");
  EXPECT_NE(logA.find("serial 11110001"), std::string::npos) << logA;
  EXPECT_EQ(logA.find("22220002"), std::string::npos);
  EXPECT_NE(logB.find("serial 22220002"), std::string::npos) << logB;
  EXPECT_EQ(logB.find("11110001"), std::string::npos);
}

}  // namespace
