// The XMODEM loader against an independent sender: lrzsz's sx sends an image to instrument-sim
// on a pseudo-terminal, 128-byte and 1K packets; and the rx helper the host's sender is proved
// with, checked against sx the same way. Skipped when lrzsz is not installed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/XmodemLoader.h"
#include "support/Lrzsz.h"
#include "support/RunProgram.h"

extern char** environ;

namespace {
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + (i >> 7));
  return b;
}

// The file extended to whole 128-byte packets with 0xFF and the trailer (length of what
// precedes it, 32 bits, and its CRC, 16 bits, both little endian).
Bytes Image(const Bytes& file) {
  std::size_t packets = (file.size() + 6) / 128 + 1;
  Bytes image = file;
  image.resize(packets * 128 - 6, 0xFF);
  std::uint32_t length = static_cast<std::uint32_t>(image.size());
  std::uint16_t crc = sim::Crc16Xmodem(image.data(), image.size());
  for (int k = 0; k < 4; ++k) image.push_back(static_cast<std::uint8_t>(length >> (8 * k)));
  image.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  image.push_back(static_cast<std::uint8_t>(crc >> 8));
  return image;
}

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  std::string t = s.str();
  return Bytes(t.begin(), t.end());
}

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

void SetLine(int fd, speed_t speed, bool twoStopBits) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (twoStopBits)
    t.c_cflag |= CSTOPB;
  else
    t.c_cflag &= ~CSTOPB;
  tcsetattr(fd, TCSANOW, &t);
}

void Write(int fd, const std::string& s) {
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// instrument-sim running with the given options; its first line of output is the slave path.
struct SimProgram {
  explicit SimProgram(std::vector<std::string> options) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string bin = testsupport::BinPath("instrument-sim");
    options.insert(options.begin(), bin);
    std::vector<char*> argv;
    for (std::string& a : options) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdoutFd = out[0];
    if (pid < 0) return;
    std::string printed = ReadUntil(stdoutFd, "\n", 5000);
    slave = printed.substr(0, printed.find('\n'));
  }
  // SIGTERM, and the exit status once it has ended (it writes its files then).
  int Stop() {
    if (pid < 0) return -1;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(10000);
    if (kill(pid, 0) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~SimProgram() {
    Stop();
    if (stdoutFd >= 0) close(stdoutFd);
  }
  pid_t pid = -1;
  int stdoutFd = -1;
  std::string slave;
};

// The checksum the loader reported in "I.1205#XXXX", or -1.
long ChecksumIn(const std::string& text) {
  std::size_t at = text.find("I.1205#");
  if (at == std::string::npos || text.find("\r\n", at) == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + 7, nullptr, 16);
}

const std::string UnlockCode = std::string("7628\r\n") + '\0';
}  // namespace

TEST(SimXmodemLrzsz, SxSendsToInstrumentSim) {
  const std::string sx = testsupport::LrzszProgram("sx");
  if (sx.empty()) GTEST_SKIP() << "lrzsz is not installed (no sx): apt-get install lrzsz";
  // 2500 bytes of firmware make an image of 20 packets; sx -k sends it as two 1K packets and
  // four of 128 bytes. A file that does not fill its last packet is padded with 0x1A by sx;
  // its last six bytes are then no trailer and the loader keeps the application off.
  const Bytes image = Image(Pattern(2500));
  ASSERT_EQ(image.size(), 2560u);
  Bytes raw = Pattern(1000), rawPadded = raw;
  rawPadded.resize(1024, 0x1A);
  struct Case {
    const char* what;
    std::vector<std::string> options;
    Bytes file, received;
    bool starts;
    const char* logged;
  } cases[] = {
      {"sx", {}, image, image, true, "packet 20 (128 bytes)"},
      {"sx -k", {"-k"}, image, image, true, "packet 2 (1024 bytes)"},
      {"sx, no image", {}, raw, rawPadded, false, "packet 8 (128 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string dir = testsupport::MakeTempDir("sx");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/image.bin", c.file);
    SimProgram sim({"--xmodem", "--dump-received", dir + "/received.bin", "--log", dir + "/log.txt"});
    ASSERT_GT(sim.pid, 0);
    ASSERT_NE(sim.slave.find("/dev/pts/"), std::string::npos) << sim.slave;
    int fd = open(sim.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);

    // Into the loader: the start command at 9600, then its line, 115200 8N2.
    SetLine(fd, B9600, false);
    Write(fd, "A.1250#");
    Write(fd, "7\r\n");
    ASSERT_NE(ReadUntil(fd, "A.1250#7\r\n", 3000).find("A.1250#7\r\n"), std::string::npos);
    SetLine(fd, B115200, true);
    Write(fd, "A.2051\r\n");
    ASSERT_NE(ReadUntil(fd, "I.251#1.06\r\n", 3000).find("I.251#1.06\r\n"), std::string::npos);
    // Start the upload and leave its 'C' on the line for sx.
    Write(fd, "u" + UnlockCode);
    std::vector<std::string> argv{sx, "-b"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    argv.push_back("image.bin");
    testsupport::TtyRunResult run = testsupport::RunOnTty(argv, sim.slave, dir, 60000);
    ASSERT_EQ(run.status, 0) << run.messages;

    Write(fd, "c" + UnlockCode);
    std::string reply = ReadUntil(fd, "\r\n", 3000);
    EXPECT_EQ(ChecksumIn(reply), sim::Crc16Xmodem(c.received.data(), c.received.size() - 6)) << reply;
    Write(fd, "r" + UnlockCode);
    if (c.starts) {
      // The new firmware announces itself once the host is back at 9600.
      usleep(100000);
      SetLine(fd, B9600, false);
      EXPECT_NE(ReadUntil(fd, "!\r\n", 3000).find("!\r\n"), std::string::npos);
    } else {
      EXPECT_NE(ReadUntil(fd, "?\r\n", 3000).find("?\r\n"), std::string::npos);
    }
    close(fd);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(ReadFile(dir + "/received.bin"), c.received);
    Bytes logBytes = ReadFile(dir + "/log.txt");
    std::string log(logBytes.begin(), logBytes.end());
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    std::filesystem::remove_all(dir);
  }
}

TEST(SimXmodemLrzsz, ReceiverHelperTakesAFileFromSx) {
  const std::string sx = testsupport::LrzszProgram("sx");
  if (sx.empty() || testsupport::LrzszProgram("rx").empty())
    GTEST_SKIP() << "lrzsz is not installed (sx, rx): apt-get install lrzsz";
  const Bytes file = Pattern(1000);
  std::string dir = testsupport::MakeTempDir("rxhelper");
  WriteFile(dir + "/file.bin", file);

  testsupport::XmodemReceiver rx;
  std::string error;
  ASSERT_TRUE(rx.Start(&error)) << error;
  // A byte of the second packet hit on the way: rx refuses it and sx repeats it.
  rx.CorruptToReceiver(133 + 40);
  testsupport::TtyRunResult run = testsupport::RunOnTty({sx, "-b", "file.bin"}, rx.DevicePath(), dir, 60000);
  EXPECT_EQ(run.status, 0) << run.messages;
  ASSERT_EQ(rx.Wait(10000), 0) << rx.Messages();
  Bytes want = file;
  want.resize(1024, 0x1A);
  EXPECT_EQ(rx.Received(), want);
  int naks = 0;
  for (const auto& chunk : rx.Traffic())
    for (std::uint8_t b : chunk.bytes)
      if (!chunk.toReceiver && b == sim::XmNak) ++naks;
  EXPECT_EQ(naks, 1) << rx.Messages();
  std::filesystem::remove_all(dir);
}
