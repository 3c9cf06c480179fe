// Whole sessions with the real programs, in real time: instrument-sim serves a simulated
// instrument on a pseudo-terminal, update-console runs in a copy of the sample package with
// COM 3 mapped onto that terminal. Each case starts its own simulator, so ctest can run the
// slow cases side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "AppsHarness.h"
#include "loaders/Xmodem.h"

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
  EXPECT_EQ(r.status, 5) << r.output;  // port problem
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

// ---- Windows-CE instruments and the Basic-Loader terminal ----

// A package of one instrument type: FileType by the first program file's extension.
std::string OnePackage(const WorkDir& dir, const std::string& baud, const std::string& progFile2,
                       const std::string& marker) {
  std::string pkg = dir / "package";
  fs::create_directories(pkg);
  WriteText(pkg + "/Update.ini", "Language=1\r\nVersion=1.02\r\nBaud=" + baud + "\r\nCom=\r\nException=\r\n");
  WriteText(pkg + "/ProgDevice.ini",
            "[Oxi 3310]\r\nDevStartCmd=1\r\nDeviceNrDef=12345\r\nDeviceNr=28160\r\nDeviceName=Oxi 3310\r\n"
            "ProgFile1=\r\nProgFile2=" + progFile2 + "\r\nProgFile3=\r\nSWKenn1=\r\nSWKenn2=" + marker +
            "\r\nSWKenn3=\r\nBootLoadKenn=\r\nFlashErase1=\r\nFlashErase2=\r\nFlashErase3=\r\nProgDefFile=\r\n"
            "ProzTyp=F16C\r\n\r\nStarttextD=Start\r\nStarttextE=Start\r\nAbbruchtextD=Abbruch\r\n"
            "AbbruchtextE=Aborted\r\n");
  return pkg;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    fs::path p = fs::path(dir.empty() ? "." : dir) / name;
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.string();
  }
  return {};
}

// Microseconds and bytes of each chunk instrument-sim's trace lists in one direction.
struct Chunk {
  double us;
  std::string bytes;
};
std::vector<Chunk> TraceChunks(const std::string& trace, const std::string& direction) {
  std::vector<Chunk> chunks;
  std::istringstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    double us = 0;
    std::string dir, hex, bytes;
    if (!(f >> us >> dir) || dir != direction) continue;
    while (f >> hex) bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
    chunks.push_back({us, bytes});
  }
  return chunks;
}

// The first program file and two further files reach a Windows-CE instrument whole, at
// 38400 baud 8N2 with the instrument's answers paced at the line rate; the transfer's rate
// is measured against what the line can carry.
TEST(RealSession, WindowsCEFilesArriveWholeAt38400) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = OnePackage(dir, "3", "TORVEX.EXE,HELP.DLL,PARAMS.DAT", "VERS:");
  std::string torvex = RandomBytes(30000, 1);
  const std::string version = "VERS: 1.02";
  for (std::size_t i = 0; i <= version.size(); ++i) {
    torvex[29800 + 2 * i] = i < version.size() ? version[i] : '\0';
    torvex[29801 + 2 * i] = '\0';
  }
  const std::map<std::string, std::string> files = {
      {"TORVEX.EXE", torvex}, {"HELP.DLL", RandomBytes(4000, 2)}, {"PARAMS.DAT", RandomBytes(777, 3)}};
  for (const auto& [name, bytes] : files) WriteText(pkg + "/" + name, bytes);
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--wince", "--pacing", "--wince-dir", dir / "received", "--trace", dir / "trace"}))
      << sim.Output();

  auto r = RunConsole(pkg, sim, 240000);
  EXPECT_EQ(sim.Stop(), 0) << sim.Output();
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
  for (const auto& [name, bytes] : files) EXPECT_EQ(ReadText(dir / ("received/" + name)), bytes) << name;

  // From the first packet of TORVEX.EXE to the instrument's "!" to its last one.
  const auto in = TraceChunks(ReadText(dir / "trace"), "in");
  const auto out = TraceChunks(ReadText(dir / "trace"), "out");
  double first = -1, lastPacket = -1, ack = -1;
  for (const Chunk& c : in) {
    if (c.bytes.rfind("D.", 0) == 0 && first < 0) first = c.us;
    if (c.bytes.rfind("D.", 0) == 0) lastPacket = c.us;
    if (c.bytes.find("A.1202") != std::string::npos) break;
  }
  for (const Chunk& c : out)
    if (c.us > lastPacket && c.bytes.find('!') != std::string::npos) {
      ack = c.us;
      break;
    }
  ASSERT_GT(first, 0);
  ASSERT_GT(ack, first);
  const double rate = static_cast<double>(torvex.size()) / ((ack - first) / 1e6);
  const double limit = 38400.0 / 11.0;  // start bit, 8 data bits, 2 stop bits
  std::printf("[ transfer ] %zu bytes in %.2f s: %.0f bytes/s of the line's %.0f (%.0f %%)\n", torvex.size(),
              (ack - first) / 1e6, rate, limit, 100.0 * rate / limit);
  RecordProperty("wince_bytes_per_second", static_cast<int>(rate));
  EXPECT_LT(rate, limit) << "paced at the line rate";
  EXPECT_GT(rate, 0.8 * limit) << "the transfer waits for each answer, but not much longer";
}

// The Basic-Loader terminal with the real programs: the instrument restarts into its loader,
// the terminal sends the image and the console ends with status 0 after the success text;
// after a defective record with a non-zero status, without waiting for ever.
TEST(RealSession, BasicLoaderTerminalProgramsTheImage) {
  struct Case {
    const char* what;
    std::vector<std::string> options;
    int status;
    const char* says;
  } cases[] = {
      {"programmed", {}, 0, "Program successfully programmed !"},
      {"defective record", {"--basic-fault", "defect:40"}, 1, "Transmit error !!"},
  };
  const std::string srecCat = FindOnPath("srec_cat"), srecCmp = FindOnPath("srec_cmp");
  if (srecCat.empty() || srecCmp.empty()) GTEST_SKIP() << "srec_cat and srec_cmp (package srecord) are needed";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WorkDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string pkg = OnePackage(dir, "4", "FW_L3.MOT", "564552533A");
    // srecord writes the image: "VERS:1.02" and code from 0x4000.
    WriteText(dir / "image.bin", "VERS:1.02" + std::string(1, '\0') + RandomBytes(12000, 4));
    auto made = RunProgram({srecCat, dir / "image.bin", "-binary", "-offset", "0x4000", "-o", pkg + "/L3_TermH.A37",
                            "-Motorola",
                            "-Execution_Start_Address", "0x4000"},
                           dir.path, {}, 20000);
    ASSERT_EQ(made.status, 0) << made.output;
    fs::copy_file(pkg + "/L3_TermH.A37", pkg + "/FW_L3.MOT");
    std::vector<std::string> options = {"--basic-loader", "--baud", "19200", "--basic-dump", dir / "memory.s19"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    Simulator sim;
    ASSERT_TRUE(sim.Start(dir, options)) << sim.Output();

    auto start = std::chrono::steady_clock::now();
    auto r = RunConsole(pkg, sim, 180000);
    double seconds = SecondsSince(start);
    EXPECT_EQ(sim.Stop(), 0) << sim.Output();
    EXPECT_FALSE(r.timedOut) << r.output;
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_LT(seconds, 60.0) << r.output;
    if (c.status == 0) {
      EXPECT_NE(r.output.find("[console] session ended well"), std::string::npos) << r.output;
      auto same = RunProgram({srecCmp, pkg + "/L3_TermH.A37", dir / "memory.s19"}, dir.path, {}, 20000);
      EXPECT_EQ(same.status, 0) << same.output;
    } else {
      EXPECT_NE(r.output.find("Programming abort !"), std::string::npos) << r.output;
      EXPECT_EQ(r.output.find("Program successfully programmed"), std::string::npos) << r.output;
    }
  }
}

}  // namespace
