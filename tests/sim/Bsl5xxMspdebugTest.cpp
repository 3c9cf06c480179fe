// An independent client against the 5xx loader: mspdebug's flash-bsl driver (written from the
// maker's documents, not from this project) programs an image into instrument-sim on a
// pseudo-terminal, and the flash dump must equal the image. The driver enters the loader
// through RTS and DTR, which a pty lacks; a small preloaded library makes those calls succeed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "SimProgram.h"
#include "support/RunProgram.h"

namespace {

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return {};
}

// A TI-TXT image of an MSP430F5438A firmware: blocks below and above 64 KB and the vector
// table with the reset vector at the start of main flash.
std::string Image() {
  std::ostringstream out;
  std::uint32_t seed = 3;
  auto section = [&](std::uint32_t address, int n, bool random) {
    char head[16];
    std::snprintf(head, sizeof head, "@%04X\r\n", static_cast<unsigned>(address));
    out << head;
    for (int i = 0; i < n; ++i) {
      unsigned v = random ? ((seed = seed * 1103515245 + 12345) >> 16) & 0xFF : 0xFF;
      if (!random && i == n - 2) v = 0x00;
      if (!random && i == n - 1) v = 0x5C;
      char b[4];
      std::snprintf(b, sizeof b, "%02X", v);
      out << b << ((i % 16 == 15 || i == n - 1) ? "\r\n" : " ");
    }
  };
  section(0x5C00, 700, true);
  section(0xFF80, 128, false);
  section(0x10000, 300, true);
  out << "q\r\n";
  return out.str();
}

struct MspdebugRun {
  testsupport::ProgramResult result;
  std::string dump;
};

MspdebugRun Program5xx(const std::string& mspdebug, const std::string& dir, bool longPassword) {
  namespace fs = std::filesystem;
  const std::string link = dir + "/tty";
  MspdebugRun run;
  run.dump = dir + (longPassword ? "/flash-long.txt" : "/flash-short.txt");
  simtest::Program sim({"--loader", "5xx", "--start-in-loader", "--link", link, "--dump", run.dump});
  if (sim.pid <= 0 || sim.slave.empty()) return run;
  std::vector<std::string> argv{mspdebug, "-n", "-d", link};
  if (longPassword) argv.push_back("--long-password");
  argv.insert(argv.end(), {"flash-bsl", "prog image.txt"});
  run.result = testsupport::RunProgram(argv, dir, {{"LD_PRELOAD", MODEM_LINES_SHIM}}, 60000);
  kill(sim.pid, SIGTERM);
  sim.Exited(5000);
  return run;
}

}  // namespace

TEST(Sim5xxMspdebug, ProgramsAnImageThroughTheLoader) {
  const std::string mspdebug = FindOnPath("mspdebug");
  if (mspdebug.empty()) GTEST_SKIP() << "mspdebug is not installed (scripts/setup.sh installs it)";
  const std::string dir = testsupport::MakeTempDir("sim5xx-mspdebug");
  {
    std::ofstream image(dir + "/image.txt", std::ios::binary);
    image << Image();
  }

  MspdebugRun run = Program5xx(mspdebug, dir, true);
  ASSERT_EQ(run.result.status, 0) << run.result.output;
  EXPECT_NE(run.result.output.find("Done, 1128 bytes total"), std::string::npos) << run.result.output;
  // What it read as the loader's version: 0x3A and the four version bytes.
  EXPECT_NE(run.result.output.find("3a 00 08 09 04"), std::string::npos) << run.result.output;
  testsupport::ProgramResult compare =
      testsupport::RunProgram({simtest::Binary(), "--compare", run.dump, dir + "/image.txt"}, dir, {}, 10000);
  EXPECT_EQ(compare.status, 0) << compare.output;

  // Its default password has 16 bytes; the 5xx loader compares 32, the rest from whatever its
  // buffer still holds, and refuses it as the devices do.
  MspdebugRun shortRun = Program5xx(mspdebug, dir, false);
  EXPECT_NE(shortRun.result.status, 0);
  EXPECT_NE(shortRun.result.output.find("incorrect password"), std::string::npos) << shortRun.result.output;
  std::filesystem::remove_all(dir);
}
