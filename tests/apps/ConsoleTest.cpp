// The console program (and the others' help and version) as a user or an automated line runs
// them: the command line, each exit status reached by its case, the JSON lines and the log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "AppsHarness.h"
#include "app/Json.h"

namespace {

namespace fs = std::filesystem;
using testsupport::BinPath;
using testsupport::RunProgram;
using testsupport::SourcePath;

// The environment of a machine without a display.
const std::vector<std::pair<std::string, std::string>> kNoDisplay = {
    {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};

bool HaveWindowProgram() { return fs::exists(BinPath("update")); }

TEST(Programs, HelpAndVersionOnStandardOutputAndWrongOptionsOnStandardError) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int status;
    const char* out;  // standard output starts with it ("" : stays empty)
    const char* err;  // standard error holds it ("" : stays empty)
  } cases[] = {
      {"update-console", {"--help"}, 0, "Usage: update-console [OPTION]...", ""},
      {"update-console", {"-h"}, 0, "Usage: update-console", ""},
      {"update-console", {"--version"}, 0, "update-console 1.", ""},
      {"update-console", {"--bogus"}, 2, "", "update-console: unknown option '--bogus'"},
      {"update-console", {"--language", "fr"}, 2, "", "--language takes de or en"},
      {"update-console", {"--timeout"}, 2, "", "option '--timeout' needs a value"},
      {"update-line", {"--help"}, 0, "Usage: update-line [OPTION]... DEVICE...", ""},
      {"update-line", {"-V"}, 0, "update-line 1.", ""},
      {"update-line", {}, 2, "", "update-line: no device given"},
      {"instrument-sim", {"--help"}, 0, "instrument-sim: a simulated measuring instrument", ""},
      {"instrument-sim", {"--version"}, 0, "instrument-sim 1.", ""},
      {"instrument-sim", {"--bogus"}, 2, "", "instrument-sim: --bogus"},
      // The window's help and version need no display.
      {"update", {"--help"}, 0, "Usage: update [OPTION]... [PACKAGE-DIR]", ""},
      {"update", {"--version"}, 0, "update 1.", ""},
      {"update", {"--json"}, 2, "", "update: unknown option '--json'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + " " + testing::PrintToString(c.args));
    if (std::string(c.program) == "update" && !HaveWindowProgram()) continue;
    std::vector<std::string> argv = {BinPath(c.program)};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = RunProgram(argv, "", kNoDisplay, 10000, true);
    EXPECT_EQ(r.status, c.status) << r.output << r.errors;
    if (*c.out) EXPECT_EQ(r.output.rfind(c.out, 0), 0u) << r.output;
    else EXPECT_EQ(r.output, "");
    if (*c.err) EXPECT_NE(r.errors.find(c.err), std::string::npos) << r.errors;
    else EXPECT_EQ(r.errors, "");
  }
  // The version is the same everywhere.
  auto console = RunProgram({BinPath("update-console"), "--version"}, "", {}, 10000);
  auto sim = RunProgram({BinPath("instrument-sim"), "-V"}, "", {}, 10000);
  std::string version = console.output.substr(15, console.output.find('\n') - 15);
  EXPECT_NE(sim.output.find("instrument-sim " + version + "\n"), std::string::npos) << sim.output;
}

TEST(Window, WithoutADisplaySaysSoInOneLine) {
  if (!HaveWindowProgram()) GTEST_SKIP() << "built without the window";
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  auto none = RunProgram({BinPath("update")}, pkg, kNoDisplay, 20000);
  EXPECT_EQ(none.status, 1) << none.output;
  EXPECT_EQ(none.output,
            "update: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); update-console runs the update "
            "without a window\n");
  // A display that is named but not there: the toolkit's failure, in one line, not an abort.
  auto gone = RunProgram({BinPath("update")}, pkg, {{"DISPLAY", ":79"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", "xcb"}},
                         20000);
  EXPECT_EQ(gone.status, 1) << gone.output;
  EXPECT_EQ(gone.output.rfind("update: cannot open the window: ", 0), 0u) << gone.output;
  EXPECT_EQ(std::count(gone.output.begin(), gone.output.end(), '\n'), 1) << gone.output;
}

TEST(Console, EndsWithTheConfigurationMessageInAnEmptyFolder) {
  std::string dir = testsupport::MakeTempDir("empty");
  ASSERT_FALSE(dir.empty());
  auto r = RunProgram({BinPath("update-console")}, dir, {}, 20000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 6) << r.output;  // package problem
  EXPECT_NE(r.output.find("Konfigurationsdatei 1 nicht vorhanden!!Programm wird beendet"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("package problem: Update.ini or ProgDevice.ini cannot be read in " + dir), std::string::npos)
      << r.output;
}

TEST(Console, ShowsTheStartTextOfTheConfiguredLanguage) {
  std::string dir = testsupport::MakeTempDir("starttext");
  ASSERT_FALSE(dir.empty());
  fs::copy(SourcePath("package"), dir, fs::copy_options::recursive);
  // No ports: only the start-up matters here.
  auto r = RunProgram({BinPath("update-console"), "--timeout", "1"}, dir, {{"UPDATE_COM_PORTS", ""}}, 20000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 5) << r.output;  // no port at all
  EXPECT_EQ(r.output.rfind("Firmware update 1.02 for Oxi 3310 DEMO, pH 3310 DEMO and Cond 3310 DEMO\n", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("port problem: No serial port found"), std::string::npos) << r.output;
}

// A pseudo-terminal whose slave side nobody else holds; closed at the end.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

// The ports of a run must open; what stands in the way is named and the status is 5. The
// package is not touched: no search, no instrument.
TEST(Console, PortProblemsAreNamedAndEndTheRunAtOnce) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  WriteText(dir / "plain-file", "x");
  Pty busy;
  ASSERT_FALSE(busy.slave.empty());
  int holder = open(busy.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  Pty free;
  ASSERT_FALSE(free.slave.empty());

  struct Case {
    std::vector<std::string> ports;
    const char* says;
  } cases[] = {
      {{dir / "no-such-tty"}, "does not exist. Is the instrument's adapter plugged in?"},
      {{dir / "plain-file"}, "is not a serial port."},
      {{busy.slave}, "is held by another program"},
      // One port that is fine does not make up for another that is not.
      {{free.slave, dir / "no-such-tty"}, "COM 2 ("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.ports));
    std::vector<std::string> argv = {BinPath("update-console"), "--json"};
    for (const std::string& p : c.ports) argv.insert(argv.end(), {"--port", p});
    auto start = std::chrono::steady_clock::now();
    auto r = RunProgram(argv, pkg, {}, 20000);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 5) << r.output;
    EXPECT_LT(seconds, 5.0);
    std::string last = r.output.substr(r.output.rfind("{\"type\""));
    auto result = app::ParseJson(last);
    ASSERT_TRUE(result) << last;
    EXPECT_EQ(result->Text("outcome"), "port-problem");
    EXPECT_EQ(result->Text("reason"), "port-unusable");
    EXPECT_NE(result->Text("message").find(c.says), std::string::npos) << result->Text("message");
    // Nothing was sent anywhere: no search started.
    EXPECT_EQ(r.output.find("\"panel\":2"), std::string::npos) << r.output;
  }
  close(holder);
}

// A device the user may not open: the message names the group that owns it.
TEST(Console, APortWithoutPermissionSaysSo) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  ASSERT_EQ(chmod(pty.slave.c_str(), 0), 0);
  std::vector<std::string> argv = {BinPath("update-console"), "--port", pty.slave, "--package", pkg};
  if (geteuid() == 0) {
    // The superuser opens anything: the run goes as nobody.
    if (!fs::exists("/usr/bin/setpriv")) GTEST_SKIP() << "needs setpriv to drop the superuser's rights";
    fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  auto r = RunProgram(argv, "/", {}, 20000);
  EXPECT_EQ(r.status, 5) << r.output;
  EXPECT_NE(r.output.find("Firmware update 1.02"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("COM 1 (" + pty.slave + ") may not be opened by user"), std::string::npos) << r.output;
}

TEST(Console, APackageFolderThatIsNotThereIsAPackageProblem) {
  WorkDir dir;
  auto r = RunProgram({BinPath("update-console"), "--package", "missing", "--json"}, dir.path, {}, 20000);
  EXPECT_EQ(r.status, 6) << r.output;
  auto result = app::ParseJson(r.output.substr(r.output.rfind("{\"type\"")));
  ASSERT_TRUE(result) << r.output;
  EXPECT_EQ(result->Text("outcome"), "package-problem");
  EXPECT_EQ(result->Text("reason"), "package-folder");
  EXPECT_NE(result->Text("message").find(dir / "missing"), std::string::npos) << r.output;
}

// A package whose Update.ini fixes the port (Com=3) searches that number only: the one named
// device becomes COM3, and a second one is a wrong command line.
TEST(Console, APackageThatFixesItsPortTakesOneDevice) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  std::string ini = ReadText(pkg + "/Update.ini");
  std::size_t at = ini.find("Com=");
  ASSERT_NE(at, std::string::npos);
  ini.insert(at + 4, "3");
  WriteText(pkg + "/Update.ini", ini);
  auto two = RunProgram({BinPath("update-console"), "-p", "/dev/a", "-p", "/dev/b"}, pkg, {}, 20000, true);
  EXPECT_EQ(two.status, 2) << two.output << two.errors;
  EXPECT_NE(two.errors.find("fixes the port (Com=3): name one device only"), std::string::npos) << two.errors;

  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--baud", "4800", "--version", "1.30"})) << sim.Output();
  auto r = RunProgram({BinPath("update-console"), "--port", sim.Tty(), "--verbose"}, pkg, {}, 120000);
  sim.Stop();
  EXPECT_EQ(r.status, 3) << r.output;
  EXPECT_NE(r.output.find("[status 1] Com3"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("The software version1.30 in your device"), std::string::npos) << r.output;
}

// Every line of --json output as an object; the last is the result.
std::vector<app::JsonValue> JsonLines(const std::string& output) {
  std::vector<app::JsonValue> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    auto v = app::ParseJson(line);
    EXPECT_TRUE(v && v->IsObject()) << "not a JSON object: " << line;
    if (v) lines.push_back(*v);
  }
  return lines;
}

// The whole job as a production line runs it: the port and the package on the command line,
// English for this run although the package says German, JSON lines and a log.
TEST(Console, UpdateWithPortPackageLanguageJsonAndLog) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  std::string ini = ReadText(pkg + "/Update.ini");
  std::size_t at = ini.find("Language=1");
  ASSERT_NE(at, std::string::npos);
  ini[at + 9] = '0';
  WriteText(pkg + "/Update.ini", ini);
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--baud", "4800", "--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT"), "--dump",
                              dir / "flash.txt"}))
      << sim.Output();

  // Relative paths are taken from where the program starts.
  auto r = RunProgram({BinPath("update-console"), "-p", "tty", "--package", "package", "--language", "en", "--json",
                       "--log", "run.log"},
                      dir.path, {{"UPDATE_COM_PORTS", "1=/dev/null"}}, 180000, true);
  sim.Stop();
  ASSERT_EQ(r.status, 0) << r.output << r.errors;
  EXPECT_EQ(r.errors, "");
  EXPECT_EQ(ReadText(pkg + "/Update.ini"), ini) << "the language of one run is not written back";
  auto same = RunProgram({BinPath("instrument-sim"), "--compare", dir / "flash.txt", pkg + "/FW_DEMO.TXT"}, "", {},
                         20000);
  EXPECT_EQ(same.status, 0) << same.output;

  auto lines = JsonLines(r.output);
  ASSERT_FALSE(lines.empty());
  int memo = 0, progress = 0, instrument = 0;
  double lastT = 0.0;
  bool english = false, ports = false;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const auto& l = lines[i];
    const std::string type = l.Text("type");
    EXPECT_GE(l.Number("t", -1), lastT) << type;
    lastT = l.Number("t", lastT);
    if (type == "memo") {
      ++memo;
      english = english || l.Text("text") == "Download successfully completed !";
    } else if (type == "progress") {
      ++progress;
      EXPECT_GE(l.Number("percent", -1), 0.0);
      EXPECT_LE(l.Number("percent", 101), 100.0);
    } else if (type == "instrument") {
      ++instrument;
      EXPECT_EQ(l.Text("name"), "Oxi 3310 DEMO");
      EXPECT_EQ(l.Text("version"), "1.01");
      EXPECT_EQ(l.Text("package_version"), "1.02");
    } else if (type == "status") {
      ports = ports || (l.Number("panel", -1) == 1 && l.Text("text") == "Com1");
    } else {
      EXPECT_TRUE(type == "box" || type == "note") << type;
    }
  }
  EXPECT_GT(memo, 3);
  EXPECT_GT(progress, 100);
  EXPECT_EQ(instrument, 1);
  EXPECT_TRUE(english) << r.output;
  EXPECT_TRUE(ports) << "the named device is COM1 (the environment's map is not used)";

  const auto& result = lines.back();
  EXPECT_EQ(result.Text("type"), "result");
  EXPECT_EQ(result.Text("outcome"), "updated");
  EXPECT_EQ(result.Number("exit", -1), 0);
  EXPECT_EQ(result.Text("version_before"), "1.01");
  EXPECT_EQ(result.Text("version_after"), "1.02");
  EXPECT_EQ(result.Text("port"), "COM1");
  EXPECT_EQ(result.Text("device"), dir / "tty");
  EXPECT_EQ(result.Text("package"), pkg);
  ASSERT_NE(result.Member("instrument"), nullptr);
  EXPECT_EQ(result.Member("instrument")->Text("serial"), "14210045");
  EXPECT_GT(result.Number("duration"), 5.0);
  EXPECT_LT(result.Number("duration"), 120.0);

  // The log: every line stamped, the trace there although the memo did not show it, the
  // result at the end in words and as JSON.
  std::string log = ReadText(dir / "run.log");
  std::istringstream logLines(log);
  int traced = 0;
  std::string lastLine, line;
  while (std::getline(logLines, line)) {
    ASSERT_GE(line.size(), 24u) << line;
    EXPECT_EQ(line[4], '-') << line;
    EXPECT_EQ(line[10], ' ') << line;
    EXPECT_EQ(line[19], '.') << line;
    if (line.find(" trace ") != std::string::npos) ++traced;
    lastLine = line;
  }
  EXPECT_NE(log.find("update-console 1."), std::string::npos);
  EXPECT_NE(log.find("memo       Download successfully completed !"), std::string::npos) << log;
  EXPECT_NE(log.find("trace      A.1111"), std::string::npos) << log;
  EXPECT_GT(traced, 10);
  EXPECT_NE(log.find("result     updated Oxi 3310 DEMO (serial 14210045) from 1.01 to 1.02"), std::string::npos);
  EXPECT_NE(lastLine.find("{\"type\":\"result\",\"outcome\":\"updated\""), std::string::npos) << lastLine;
  EXPECT_EQ(r.output.find("A.1111"), std::string::npos) << "the trace stays out of the output without --debug";
}

// Failures in JSON: a stranger refused before anything is programmed, and a loader that keeps
// failing the read-back.
TEST(Console, RefusalAndProgrammingFailureInJson) {
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    int status;
    const char* outcome;
    const char* reason;
  } cases[] = {
      {"wrong device", {"--device", "11111.000", "--pcb", "99999.000"}, 3, "refused", "wrong-device"},
      {"read-back fails", {"--fault", "wrongread:any:1:1000"}, 1, "failed", "step-failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WorkDir dir;
    std::string pkg = CopyPackage(dir);
    Simulator sim;
    std::vector<std::string> options = {"--baud", "4800", "--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT")};
    options.insert(options.end(), c.sim.begin(), c.sim.end());
    ASSERT_TRUE(sim.Start(dir, options)) << sim.Output();
    auto r = RunProgram({BinPath("update-console"), "--port", sim.Tty(), "--json"}, pkg, {}, 180000);
    sim.Stop();
    EXPECT_EQ(r.status, c.status) << r.output;
    auto lines = JsonLines(r.output);
    ASSERT_FALSE(lines.empty());
    const auto& result = lines.back();
    EXPECT_EQ(result.Text("outcome"), c.outcome);
    EXPECT_EQ(result.Text("reason"), c.reason);
    EXPECT_EQ(result.Number("exit", -1), c.status);
    EXPECT_TRUE(result.Member("version_after") && result.Member("version_after")->IsNull());
    EXPECT_EQ(result.Text("port"), "COM1");
    bool errorBox = false;
    for (const auto& l : lines) errorBox = errorBox || (l.Text("type") == "box" && l.Text("icon") == "error");
    EXPECT_TRUE(errorBox) << r.output;
  }
}

// A damaged image is found before the instrument is touched: a package problem.
TEST(Console, ADamagedProgramFileIsAPackageProblem) {
  WorkDir dir;
  std::string pkg = CopyPackage(dir);
  std::string image = ReadText(pkg + "/FW_DEMO.TXT");
  WriteText(pkg + "/FW_DEMO.TXT", image.substr(0, image.size() / 2) + "\r\nZZ\r\n");
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--baud", "4800"})) << sim.Output();
  auto r = RunProgram({BinPath("update-console"), "--port", sim.Tty()}, pkg, {}, 120000);
  sim.Stop();
  EXPECT_EQ(r.status, 6) << r.output;
  EXPECT_NE(r.output.find("FW_DEMO.TXT"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("package problem: a program file of the package is missing, empty or damaged"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(sim.Log().find("state loader"), std::string::npos) << sim.Log();
}

}  // namespace
