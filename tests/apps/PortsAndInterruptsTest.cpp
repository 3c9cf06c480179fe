// The console program with real ports and real signals: ports that cannot be used are reported
// at once with their own text and exit status, and Ctrl+C during the programming warns first.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/RunProgram.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::BinPath;
using testsupport::SourcePath;
using Steady = std::chrono::steady_clock;

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

// A program running in the background in a process group of its own (so that what it starts
// ends with it), its output going to a file.
class Background {
 public:
  ~Background() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Start(std::vector<std::string> args, const std::string& cwd,
             const std::map<std::string, std::string>& env, const std::string& output) {
    output_ = output;
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      auto eq = kv.find('=');
      if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) vars[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, argp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    int rc = posix_spawn(&pid_, args[0].c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) pid_ = 0;
    return rc == 0;
  }

  std::string Output() const { return ReadText(output_); }

  // Waits until the output holds text; false when the time is up or the program ended first.
  bool WaitFor(const std::string& text, int ms) {
    auto end = Steady::now() + std::chrono::milliseconds(ms);
    while (Steady::now() < end) {
      if (Output().find(text) != std::string::npos) return true;
      if (Ended()) return Output().find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void Signal(int signal) const {
    if (pid_ > 0) kill(pid_, signal);
  }

  // The exit status, -1 when it did not end within ms (or ended by a signal).
  int Wait(int ms) {
    auto end = Steady::now() + std::chrono::milliseconds(ms);
    while (!Ended() && Steady::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return status_;
  }

  bool Ended() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = 0;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
  }

 private:
  pid_t pid_ = 0;
  int status_ = -1;
  std::string output_;
};

// A folder of its own for one case, readable by every user (a case runs the tool as nobody).
struct WorkDir {
  std::string path = testsupport::MakeTempDir("ports");
  WorkDir() {
    if (!path.empty()) fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                 fs::perms::others_read | fs::perms::others_exec);
  }
  ~WorkDir() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// A copy of the sample package in the language given.
std::string CopyPackage(const WorkDir& dir, int language) {
  std::string pkg = dir / "package";
  fs::copy(SourcePath("package"), pkg, fs::copy_options::recursive);
  std::string ini = ReadText(pkg + "/Update.ini");
  ini.replace(ini.find("Language=") + 9, 1, std::to_string(language));
  WriteText(pkg + "/Update.ini", ini);
  return pkg;
}

// A pseudo-terminal whose far side the test holds; its slave is the port under test.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    if (const char* name = ptsname(master_)) slave_ = name;
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  const std::string& Slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

// instrument-sim on a pseudo-terminal linked to dir/tty.
class Simulator {
 public:
  bool Start(const WorkDir& dir, std::vector<std::string> options) {
    tty_ = dir / "tty";
    log_ = dir / "sim.log";
    std::vector<std::string> args = {BinPath("instrument-sim"), "--link", tty_, "--log", log_};
    args.insert(args.end(), options.begin(), options.end());
    if (!process_.Start(args, dir.path, {}, dir / "sim.out")) return false;
    for (int i = 0; i < 100; ++i) {
      std::error_code ec;
      if (fs::is_symlink(tty_, ec)) return true;
      if (process_.Ended()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  ~Simulator() {
    process_.Signal(SIGTERM);
    process_.Wait(10000);
  }
  const std::string& Tty() const { return tty_; }
  std::string Log() const { return ReadText(log_); }

 private:
  Background process_;
  std::string tty_, log_;
};

constexpr int kPortProblemStatus = 5;

// ---- ports that cannot be used ----

struct PortCase {
  const char* name;
  // Sets the case up; the device path COM 3 is mapped to, or "" to skip the case (with why).
  std::function<std::string(std::string& skip)> setUp;
  bool asNobody;
  const char* german;
  const char* english;
};

// The console as nobody, where the case asks for it (the tests run as root in CI); verbose, so
// that every status change shows.
std::vector<std::string> ConsoleCommand(bool asNobody) {
  std::vector<std::string> argv;
  if (asNobody) argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
  argv.push_back(BinPath("update-console"));
  argv.push_back("--verbose");
  return argv;
}

TEST(RealPortProblems, EachIsReportedAtOnceWithItsOwnTextAndExitStatus) {
  Pty permissionPty, heldPty;
  Background holder;
  WorkDir holderDir;
  PortCase cases[] = {
      {"missing device", [](std::string&) { return std::string("/dev/ttyUSB-none"); }, false,
       "COM 3 (/dev/ttyUSB-none) ist nicht vorhanden. Ist der Adapter des Ger\xC3\xA4ts eingesteckt?",
       "COM 3 (/dev/ttyUSB-none) does not exist. Is the instrument's adapter plugged in?"},
      {"no permission",
       [&](std::string& skip) {
         // getgrnam's result lives until its next call: the group id is taken at once.
         const bool others = getpwnam("nobody") && getgrnam("nogroup");
         group* dialout = getgrnam("dialout");
         if (geteuid() != 0 || !others || !dialout || access("/usr/bin/setpriv", X_OK) != 0) {
           skip = "needs root, the user nobody, the groups nogroup and dialout, and setpriv";
           return std::string();
         }
         const gid_t dialoutGid = dialout->gr_gid;
         const std::string& slave = permissionPty.Slave();
         if (slave.empty() || chown(slave.c_str(), 0, dialoutGid) != 0 || chmod(slave.c_str(), 0660) != 0) {
           skip = "cannot make the pseudo-terminal root:dialout 660";
           return std::string();
         }
         return slave;
       },
       true, "darf vom Benutzer nobody nicht ge\xC3\xB6" "ffnet werden: die Schnittstelle geh\xC3\xB6rt der Gruppe dialout. "
             "Treten Sie ihr bei mit \"sudo usermod -aG dialout nobody\"",
       "may not be opened by user nobody: the port belongs to the group dialout. Join it with "
       "\"sudo usermod -aG dialout nobody\", then log out and in again."},
      {"held by another program",
       [&](std::string& skip) {
         const std::string& slave = heldPty.Slave();
         if (access("/usr/bin/flock", X_OK) != 0 || slave.empty()) {
           skip = "needs flock";
           return std::string();
         }
         holder.Start({"/usr/bin/flock", slave, "sleep", "60"}, "", {}, holderDir / "flock.out");
         // Held once the lock is taken: a second, non-blocking flock fails from then on.
         for (int i = 0; i < 100; ++i) {
           auto r = testsupport::RunProgram({"/usr/bin/flock", "-n", slave, "true"}, "", {}, 5000);
           if (r.status == 1) return slave;
           std::this_thread::sleep_for(std::chrono::milliseconds(20));
         }
         skip = "flock did not take the lock";
         return std::string();
       },
       false, "ist von einem anderen Programm belegt: flock (PID ",
       "is held by another program: flock (PID "},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string skip;
    const std::string device = c.setUp(skip);
    if (device.empty()) {
      std::printf("  [ skipped ] %s: %s\n", c.name, skip.c_str());
      continue;
    }
    for (int language : {0, 1}) {
      SCOPED_TRACE(language == 0 ? "German" : "English");
      WorkDir dir;
      ASSERT_FALSE(dir.path.empty());
      std::string pkg = CopyPackage(dir, language);
      auto start = Steady::now();
      auto r = testsupport::RunProgram(ConsoleCommand(c.asNobody), pkg, {{"UPDATE_COM_PORTS", "3=" + device}}, 20000);
      auto took = Steady::now() - start;
      EXPECT_FALSE(r.timedOut) << r.output;
      EXPECT_EQ(r.status, kPortProblemStatus) << r.output;
      EXPECT_LT(took, std::chrono::seconds(2)) << r.output;
      EXPECT_NE(r.output.find(language == 0 ? c.german : c.english), std::string::npos) << r.output;
      EXPECT_NE(r.output.find(language == 0 ? "Keine Schnittstelle ist verwendbar, daher wird das Ger\xC3\xA4t nicht gesucht."
                                            : "No port can be used, so the instrument is not searched."),
                std::string::npos)
          << r.output;
      // The result names the port's problem in the same words.
      const std::size_t result = r.output.find("[console] exit 5: port problem: ");
      ASSERT_NE(result, std::string::npos) << r.output;
      EXPECT_NE(r.output.find(language == 0 ? c.german : c.english, result), std::string::npos) << r.output;
      // No search: no baud rate was tried and no "no device" box came.
      EXPECT_EQ(r.output.find("[status 2]"), std::string::npos) << r.output;
    }
  }
}

TEST(RealPortProblems, OneBadAndOneGoodPortStillUpdateOnTheGoodOne) {
  WorkDir dir;
  ASSERT_FALSE(dir.path.empty());
  std::string pkg = CopyPackage(dir, 1);
  Simulator sim;
  ASSERT_TRUE(sim.Start(dir, {"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT")}));
  auto r = testsupport::RunProgram({BinPath("update-console"), "--verbose"}, pkg,
                                   {{"UPDATE_COM_PORTS", "1=/dev/ttyUSB-none,3=" + sim.Tty()}}, 240000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_EQ(r.status, 0) << r.output;
  const std::size_t missing = r.output.find("COM 1 (/dev/ttyUSB-none) does not exist.");
  const std::size_t found = r.output.find("[status 1] Com3");
  EXPECT_NE(missing, std::string::npos) << r.output;
  EXPECT_LT(missing, found) << "named before the search";
  EXPECT_NE(r.output.find("Download successfully completed !"), std::string::npos) << r.output;
}

// ---- Ctrl+C and SIGTERM ----

class Interrupts : public ::testing::Test {
 protected:
  void StartRun(std::vector<std::string> simOptions) {
    ASSERT_FALSE(dir.path.empty());
    pkg = CopyPackage(dir, 1);
    ASSERT_TRUE(sim.Start(dir, simOptions));
    ASSERT_TRUE(console.Start({BinPath("update-console"), "--yes", "--verbose"}, pkg, {{"UPDATE_COM_PORTS", "3=" + sim.Tty()}},
                              dir / "console.out"));
  }
  // The procedure reports its progress in the title once it programs.
  bool WaitForProgramming() { return console.WaitFor("[title] Update [ ", 120000); }

  WorkDir dir;
  std::string pkg;
  Simulator sim;
  Background console;
};

const char* const kWarning =
    "[console] The instrument is being programmed. If the program ends now, the instrument is left without "
    "working firmware and will need boot mode to be programmed again.\nProgramming goes on; a second Ctrl+C "
    "(or SIGTERM) aborts it.";

TEST_F(Interrupts, OnceDuringProgrammingWarnsAndTheRunStillSucceeds) {
  StartRun({"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT")});
  ASSERT_TRUE(WaitForProgramming()) << console.Output();
  console.Signal(SIGINT);
  EXPECT_TRUE(console.WaitFor(kWarning, 1000)) << "no warning within 1 s:\n" << console.Output();
  EXPECT_EQ(console.Wait(180000), 0) << console.Output();
  const std::string out = console.Output();
  EXPECT_NE(out.find("Download successfully completed !"), std::string::npos) << out;
  EXPECT_NE(out.find("[console] session ended well"), std::string::npos) << out;
  EXPECT_NE(sim.Log().find("state firmware started, version 1.02"), std::string::npos) << sim.Log();
}

TEST_F(Interrupts, TwiceDuringProgrammingAbortsAsTheWindowsCloseDoes) {
  StartRun({"--firmware", SourcePath("sim/firmware/FW_DEMO_101.TXT")});
  ASSERT_TRUE(WaitForProgramming()) << console.Output();
  console.Signal(SIGINT);
  ASSERT_TRUE(console.WaitFor(kWarning, 1000)) << console.Output();
  console.Signal(SIGINT);
  // The abort comes at the end of a wait the loader may be in (at most 8 s).
  EXPECT_EQ(console.Wait(15000), 128 + SIGINT) << console.Output();
  const std::string out = console.Output();
  EXPECT_NE(out.find("[console] interrupted: programming aborted"), std::string::npos) << out;
  EXPECT_EQ(out.find("Download successfully completed"), std::string::npos) << out;
  EXPECT_EQ(out.find("[error box]"), std::string::npos) << "no box after the abort:\n" << out;
  const std::string log = sim.Log();
  EXPECT_NE(log.find("state loader"), std::string::npos) << log;
  EXPECT_EQ(log.find("state firmware started"), std::string::npos) << "the instrument stays in its loader\n" << log;
}

TEST_F(Interrupts, OutsideProgrammingTheFirstEndsTheRunAtOnce) {
  // The instrument does not answer: the search goes on and on.
  StartRun({"--ack-probe", "none"});
  ASSERT_TRUE(console.WaitFor("[status 2]", 20000)) << console.Output();
  auto start = Steady::now();
  console.Signal(SIGTERM);
  EXPECT_EQ(console.Wait(5000), 128 + SIGTERM) << console.Output();
  EXPECT_LT(Steady::now() - start, std::chrono::seconds(2)) << console.Output();
  const std::string out = console.Output();
  EXPECT_NE(out.find("[console] interrupted"), std::string::npos) << out;
  EXPECT_EQ(out.find("The instrument is being programmed"), std::string::npos) << out;
}

}  // namespace
