// Whole sessions with the real programs, in real time: instrument-sim serves a simulated
// instrument on a pseudo-terminal, update-console runs in a copy of the sample package with
// COM 3 mapped onto that terminal. Each case starts its own simulator, so ctest can run the
// slow cases side by side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loaders/Xmodem.h"
#include "support/RunProgram.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::BinPath;
using testsupport::RunProgram;
using testsupport::SourcePath;

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

// A folder of its own for one case, removed at the end.
struct WorkDir {
  std::string path = testsupport::MakeTempDir("realexe");
  ~WorkDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// instrument-sim in the background, linked to <dir>/tty, logging to <dir>/sim.log.
class Simulator {
 public:
  ~Simulator() { Stop(); }

  // True once the link to the slave side exists.
  bool Start(const WorkDir& dir, std::vector<std::string> options) {
    tty_ = dir / "tty";
    log_ = dir / "sim.log";
    out_ = dir / "sim.out";
    std::vector<std::string> args = {BinPath("instrument-sim"), "--link", tty_, "--log", log_};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      pid_ = 0;
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      std::error_code ec;
      if (fs::is_symlink(tty_, ec)) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // SIGTERM (the dump is written on the way out), SIGKILL if it does not end in time.
  // Returns the exit status, -1 when it had to be killed.
  int Stop() {
    if (pid_ == 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return -1;
  }

  const std::string& Tty() const { return tty_; }
  std::string Log() const { return ReadText(log_); }
  std::string Output() const { return ReadText(out_); }

 private:
  pid_t pid_ = 0;
  std::string tty_, log_, out_;
};

// A copy of the sample package in dir/package.
std::string CopyPackage(const WorkDir& dir) {
  std::string pkg = dir / "package";
  fs::copy(SourcePath("package"), pkg, fs::copy_options::recursive);
  return pkg;
}

testsupport::ProgramResult RunConsole(const std::string& package, const Simulator& sim, int timeoutMs) {
  return RunProgram({BinPath("update-console"), "--yes"}, package, {{"UPDATE_COM_PORTS", "3=" + sim.Tty()}},
                    timeoutMs);
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
  EXPECT_NE(r.status, 0) << r.output;
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
  EXPECT_NE(r.status, 0) << r.output;

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

// A ".BIN" package: the serial boot loader takes the image with XMODEM-CRC at 115200 8N2 on
// the pseudo-terminal; what it received is the padded image, and the instrument runs it.
TEST(RealSession, SerialBootLoaderUpdateDeliversThePaddedImage) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  std::string ini = ReadText(pkg + "/ProgDevice.ini");
  for (auto [from, to] : {std::pair<std::string, std::string>{"ProgFile2=FW_DEMO.TXT", "ProgFile2=FW_DEMO.BIN"},
                          {"SWKenn2=56 45 52 53 3A ", "SWKenn2=VERS:"}})
    for (std::size_t at; (at = ini.find(from)) != std::string::npos;) ini.replace(at, from.size(), to);
  WriteText(pkg + "/ProgDevice.ini", ini);
  std::string image(20000, '\0');
  for (std::size_t i = 1; i < image.size(); ++i) image[i] = static_cast<char>((i * 73 + (i >> 9)) & 0xFF);
  const std::string marker = std::string("VERS: 1.02") + '\0';
  image.replace(4096, marker.size(), marker);
  WriteText(pkg + "/FW_DEMO.BIN", image);
  std::string received = dir / "received.bin";
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--xmodem", "--version-marker", "VERS: ", "--dump-received", received}))
      << sim.Output();

  auto start = std::chrono::steady_clock::now();
  auto r = RunConsole(pkg, sim, 240000);
  double seconds = SecondsSince(start);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  EXPECT_NE(log.find("state xmodem loader at 115200"), std::string::npos) << log;
  EXPECT_NE(log.find("state firmware started, version 1.02"), std::string::npos) << log;
  const auto padded = loaders::xmodem::PrepareImage(std::vector<std::uint8_t>(image.begin(), image.end())).bytes;
  const std::string got = ReadText(received);
  EXPECT_EQ(got, std::string(padded.begin(), padded.end())) << got.size() << " bytes received";
  EXPECT_LT(seconds, 90.0) << r.output;
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
  EXPECT_NE(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("went away"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Download successfully completed"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("[console] session did not end well"), std::string::npos) << r.output;
  // The search, the identification and the 8 s loader entry, then the end: no 5 s silences.
  EXPECT_LT(seconds, 45.0) << r.output;
}

// The sample package's instrument with the 5xx bootstrap loader (processor type 21560): the
// loader dialogue at 9600 and then 38400 baud over the pseudo-terminal, in real time.
TEST(RealSession, CompleteUpdateThroughThe5xxLoader) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  std::string dump = dir / "flash.txt";
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--loader", "5xx", "--device", "28180.000", "--firmware",
                              SourcePath("sim/firmware/FW_5XX_101.TXT"), "--dump", dump}))
      << sim.Output();

  auto r = RunConsole(pkg, sim, 240000);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  EXPECT_NE(log.find("state 5xx loader"), std::string::npos) << log;
  EXPECT_NE(log.find("frame baud 38400"), std::string::npos) << log;
  EXPECT_NE(log.find("state firmware started, version 1.02"), std::string::npos) << log;

  auto same = RunProgram({BinPath("instrument-sim"), "--compare", dump, pkg + "/FW_5XX.TXT"}, dir.path, {}, 20000);
  EXPECT_EQ(same.status, 0) << same.output;
  auto old = RunProgram({BinPath("instrument-sim"), "--compare", dump, SourcePath("sim/firmware/FW_5XX_101.TXT")},
                        dir.path, {}, 20000);
  EXPECT_EQ(old.status, 1) << old.output;
}

// Replaces every occurrence of from in the file.
void Rewrite(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadText(path);
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  WriteText(path, text);
}

// A laboratory instrument without firmware, sitting in its classic loader: nothing answers
// the search's probes, the loader answers the wake-up frame with 0x90, and the tool programs
// the row's definition file straight through the loader (no identity dialogue, the password
// of the default vector) and ends with the success text.
TEST(RealSession, LaboratoryInstrumentInBootModeIsProgrammedThroughItsLoader) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  Rewrite(pkg + "/Update.ini", "Baud=2,3,4,1,0", "Baud=3");  // one search rate, to be quick
  std::string dump = dir / "flash.txt";
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--boot", "marker", "--boot-marker", "90", "--dump", dump})) << sim.Output();

  auto r = RunConsole(pkg, sim, 240000);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Store new data !!"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  EXPECT_NE(log.find("wake frame 1"), std::string::npos) << log;
  EXPECT_NE(log.find("state firmware started, version 1.02"), std::string::npos) << log;
  for (const char* command : {"cmd A.1000", "cmd A.2003", "cmd A.5577", "cmd A.5588"})
    EXPECT_EQ(log.find(command), std::string::npos) << command << " reached the instrument";
  auto same = RunProgram({BinPath("instrument-sim"), "--compare", dump, pkg + "/FW_DEMO.TXT"}, dir.path, {}, 20000);
  EXPECT_EQ(same.status, 0) << same.output;
}

// After the firmware the package's file list goes to the instrument: each file under its
// lower-cased name, equal to the package's; the session ends with the oxygen meter's air
// pressure, the end command and "U.606".
TEST(RealSession, FileListIsUploadedAfterTheFirmware) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir);
  Rewrite(pkg + "/ProgDevice.ini", "ProgFile2=FW_DEMO.TXT", "ProgFile2=FW_DEMO.TXT,DATA\\TABLE.BIN,Notes.dat");
  fs::create_directories(pkg + "/Data");
  std::string table;
  for (int i = 0; i < 700; ++i) table += static_cast<char>((i * 13) & 0xFF);
  WriteText(pkg + "/Data/Table.bin", table);
  WriteText(pkg + "/NOTES.DAT", "first line\r\nsecond line\r\n");
  std::string received = dir / "received";
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT"), "--upload-dir", received}))
      << sim.Output();

  auto r = RunConsole(pkg, sim, 240000);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  std::string log = sim.Log();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  EXPECT_EQ(ReadText(received + "/data/table.bin"), table);
  EXPECT_EQ(ReadText(received + "/notes.dat"), "first line\r\nsecond line\r\n");
  const std::size_t announced = log.find("cmd A.12000#data\\table.bin");
  const std::size_t end = log.find("cmd A.1121", announced);
  const std::size_t final = log.find("cmd U.606", end);
  EXPECT_NE(announced, std::string::npos) << log;
  EXPECT_NE(log.find("cmd A.12010#(255 bytes)", announced), std::string::npos) << log;
  EXPECT_NE(end, std::string::npos) << log;
  EXPECT_NE(final, std::string::npos) << log;
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
