// instrument-sim itself: its options and a short real run on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/Options.h"

extern char** environ;

TEST(SimOptions, ParsesTheInstrumentAndTheFaults) {
  sim::ProgramOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions({"--baud", "19200", "--device", "21130.000", "--numbering", "2013",
                                 "--ack-probe", "1000", "--loader-version", "1.10", "--chip-id", "0xF26F",
                                 "--flash-end", "1FFFF", "--fault", "nak:12:3:2", "--fault", "wrongread:any:1",
                                 "--text-fault", "refuse:A.5588:1", "--reply-after", "A.4001=I.262#1",
                                 "--drop-out", "0,5", "--boot", "marker", "--boot-marker", "Q",
                                 "--wake-frames", "1,4", "--exit-after-end", "--dump", "/tmp/x.txt",
                                 "--family", "4xx", "--security-key", "off"},
                                o, error))
      << error;
  const sim::InstrumentConfig& c = o.instrument;
  EXPECT_EQ(c.baud, 19200u);
  EXPECT_EQ(c.device, "21130.000");
  EXPECT_EQ(c.numbering, sim::Numbering::Thousands);
  EXPECT_FALSE(c.ackA1111);
  EXPECT_TRUE(c.ackA1000);
  EXPECT_EQ(c.loader.version, 0x0110);
  EXPECT_EQ(c.loader.chipId, 0xF26F);
  EXPECT_EQ(c.loader.family, sim::Family::F4xx);
  EXPECT_EQ(c.loader.securityKey, false);
  EXPECT_EQ(c.loader.memory.mainEnd, 0x1FFFFu);
  ASSERT_EQ(c.frameFaults.size(), 2u);
  EXPECT_EQ(c.frameFaults[0].command, 0x12);
  EXPECT_EQ(c.frameFaults[0].nth, 3);
  EXPECT_EQ(c.frameFaults[0].count, 2);
  EXPECT_EQ(c.frameFaults[1].kind, sim::FrameFaultKind::WrongReadBack);
  EXPECT_EQ(c.frameFaults[1].command, 0);
  ASSERT_EQ(c.textFaults.size(), 1u);
  EXPECT_EQ(c.textFaults[0].command, "A.5588");
  ASSERT_EQ(c.extraReplies.size(), 1u);
  EXPECT_EQ(c.extraReplies[0].line, "I.262#1");
  EXPECT_EQ(c.bytes.dropOut, (std::set<std::uint64_t>{0, 5}));
  EXPECT_EQ(c.bootMarker, 'Q');
  EXPECT_EQ(c.wakeFrames, (1u << 1) | (1u << 4));
  EXPECT_TRUE(o.exitAfterEnd);
  EXPECT_EQ(o.dumpFile, "/tmp/x.txt");

  const std::vector<std::vector<std::string>> bad = {
      {"--baud", "fast"}, {"--loader-version", "1.1"}, {"--family", "5xx"}, {"--security-key", "yes"}, {"--fault", "nak:12"}, {"--fault", "boom:12:1"},
      {"--numbering", "24"}, {"--drop-rate", "2"}, {"--wake-frames", "5"}, {"--nonsense"}, {"--baud"}};
  for (const auto& args : bad) {
    sim::ProgramOptions p;
    EXPECT_FALSE(sim::ParseOptions(args, p, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

namespace {

// The program lies beside the test executable; UPDATE_BIN_DIR may say otherwise.
std::string Binary() {
  if (const char* dir = std::getenv("UPDATE_BIN_DIR")) return std::string(dir) + "/instrument-sim";
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::filesystem::path(".") : self.parent_path()).string() + "/instrument-sim";
}

// Reads from fd until the text contains want or ms have passed.
std::string ReadUntil(int fd, const std::string& want, int ms) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      char buf[256];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
  }
  return got;
}

void SetBaud(int fd, speed_t speed) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
}


// A running instrument-sim with its printed slave path.
struct Program {
  explicit Program(std::vector<std::string> options) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string bin = Binary();
    options.insert(options.begin(), bin);
    std::vector<char*> argv;
    for (std::string& a : options) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdoutFd = out[0];
    if (pid == 0) return;
    std::string printed = ReadUntil(stdoutFd, "\n", 5000);
    if (printed.find('\n') != std::string::npos) slave = printed.substr(0, printed.find('\n'));
  }
  ~Program() {
    if (pid > 0 && !Exited(0)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (stdoutFd >= 0) close(stdoutFd);
  }
  // Waits up to ms for the program to end; true when it has, with its status in status.
  bool Exited(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return true;
      }
      usleep(10000);
    } while (std::chrono::steady_clock::now() < end);
    return pid < 0;
  }
  pid_t pid = 0;
  int status = -1;
  int stdoutFd = -1;
  std::string slave;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(SimProgram, ServesAPseudoTerminalAndDumpsAtExit) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("sim-test-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string link = (dir / "instrument").string();
  std::string dump = (dir / "flash.txt").string();
  std::string log = (dir / "log.txt").string();

  Program sim({"--baud", "19200", "--link", link, "--dump", dump, "--log", log, "--vector-word", "0C02"});
  ASSERT_GT(sim.pid, 0) << Binary();
  ASSERT_NE(sim.slave.find("/dev/pts/"), std::string::npos) << sim.slave;
  EXPECT_EQ(fs::read_symlink(link).string(), sim.slave);

  int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B4800);  // wrong rate: noise at most, never an answer
  ASSERT_EQ(write(fd, "A.1111\r\n", 8), 8);
  std::string noise = ReadUntil(fd, "!", 300);
  EXPECT_EQ(noise.find('!'), std::string::npos);

  SetBaud(fd, B19200);
  ASSERT_EQ(write(fd, "A.2000\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "I.20#28160.000\r\n", 3000).find("I.20#28160.000\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "A.5577\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "I.80#0xC02\r\n", 3000).find("I.80#0xC02\r\n"), std::string::npos);
  close(fd);

  // SIGUSR1 writes the dump while it runs; SIGTERM ends it cleanly and writes it again.
  kill(sim.pid, SIGUSR1);
  for (int i = 0; i < 300 && !fs::exists(dump); ++i) usleep(10000);
  EXPECT_TRUE(fs::exists(dump));
  fs::remove(dump);
  kill(sim.pid, SIGTERM);
  ASSERT_TRUE(sim.Exited(5000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0) << sim.status;

  EXPECT_NE(Slurp(dump).find("@FFFE\r\n02 0C\r\nq"), std::string::npos) << Slurp(dump);
  std::string logged = Slurp(log);
  EXPECT_NE(logged.find(" cmd A.2000\n"), std::string::npos) << logged;
  EXPECT_NE(logged.find(" wrong-line "), std::string::npos);
  EXPECT_FALSE(fs::exists(link));
  fs::remove_all(dir);
}

TEST(SimProgram, ExitsAfterTheEndWhenTheHostLetsGo) {
  Program sim({"--exit-after-end", "--end-grace", "20000"});
  ASSERT_GT(sim.pid, 0) << Binary();
  int fd = open(sim.slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  SetBaud(fd, B9600);
  ASSERT_EQ(write(fd, "A.1000\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  ASSERT_EQ(write(fd, "A.1121\r\n", 8), 8);
  EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
  EXPECT_FALSE(sim.Exited(200));  // the host still holds the line
  close(fd);
  ASSERT_TRUE(sim.Exited(3000));
  EXPECT_TRUE(WIFEXITED(sim.status) && WEXITSTATUS(sim.status) == 0);
}
