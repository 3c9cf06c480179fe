#include "support/Lrzsz.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/RunProgram.h"

extern char** environ;

namespace testsupport {

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh pseudo-terminal in raw mode; its slave stays open through keep, so the master never
// sees a hang-up while the programs on the slave side come and go.
bool OpenRawPty(int& master, int& keep, std::string& path) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
  const char* name = ptsname(master);
  if (!name) return false;
  path = name;
  keep = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (keep < 0) return false;
  termios t{};
  if (tcgetattr(keep, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(keep, TCSANOW, &t);
  }
  return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t n, const std::atomic<bool>& stop) {
  while (n > 0 && !stop) {
    // send() on the socket, so that a receiver that is gone is no SIGPIPE.
    ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = ::write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 20);
    }
  }
  return n == 0;
}

// posix_spawn with standard input and output on tty (a device path) or on the descriptor fd,
// standard error into a file.
int Spawn(const std::vector<std::string>& argv, const std::string& tty, int fd, const std::string& cwd,
          const std::string& errorFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, fd, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, tty.c_str(), O_RDWR | O_NOCTTY, 0);
  posix_spawn_file_actions_adddup2(&actions, 0, 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits up to ms for pid; true with its exit status (-1 for a signal) when it has ended.
bool Reap(int pid, int ms, int& status) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int raw = 0;
    pid_t r = waitpid(pid, &raw, WNOHANG);
    if (r == pid) {
      status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return true;
    }
    if (r < 0 || std::chrono::steady_clock::now() >= end) return false;
    usleep(5000);
  }
}

}  // namespace

std::string LrzszProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

TtyRunResult RunOnTty(const std::vector<std::string>& argv, const std::string& tty,
                      const std::string& cwd, int timeoutMs) {
  TtyRunResult result;
  std::string dir = MakeTempDir("tty");
  std::string errors = dir + "/stderr";
  int pid = Spawn(argv, tty, -1, cwd, errors);
  if (pid < 0) {
    result.messages = "cannot start " + argv[0];
  } else if (!Reap(pid, timeoutMs, result.status)) {
    result.timedOut = true;
    result.status = -1;
    kill(pid, SIGKILL);
    int ignored;
    Reap(pid, 5000, ignored);
  }
  if (pid >= 0) result.messages = Slurp(errors);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return result;
}

bool XmodemReceiver::Start(std::string* error, const std::vector<std::string>& extraArgs) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (pid_ >= 0) return fail("already started");
  std::string rx = LrzszProgram("rx");
  if (rx.empty()) return fail("lrzsz is not installed (no rx)");
  dir_ = MakeTempDir("rx");
  if (dir_.empty()) return fail("no temporary folder");
  if (!OpenRawPty(senderMaster_, senderKeep_, senderPath_))
    return fail(std::string("no pseudo-terminal: ") + std::strerror(errno));
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return fail(std::string("no socket pair: ") + std::strerror(errno));
  rxSocket_ = pair[0];
  fcntl(rxSocket_, F_SETFL, fcntl(rxSocket_, F_GETFL) | O_NONBLOCK);
  // rx refuses absolute paths in its restricted mode: it writes into its working folder.
  std::vector<std::string> argv{rx, "-c", "-b"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  argv.push_back("received.bin");
  pid_ = Spawn(argv, "", pair[1], dir_, dir_ + "/messages");
  ::close(pair[1]);
  if (pid_ < 0) return fail("cannot start " + rx);
  pump_ = std::thread([this] { Pump(); });
  return true;
}

void XmodemReceiver::Pump() {
  std::uint8_t buf[4096];
  bool rxOpen = true;
  while (!stop_) {
    pollfd p[2] = {{senderMaster_, POLLIN, 0}, {rxOpen ? rxSocket_ : -1, POLLIN, 0}};
    if (poll(p, 2, 20) <= 0) continue;
    for (int side = 0; side < 2; ++side) {
      if (!(p[side].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(p[side].fd, buf, sizeof buf);
      if (n == 0 && side == 1) rxOpen = false;  // rx has ended and everything it sent is passed on
      if (n <= 0) continue;
      bool toReceiver = side == 0;
      std::vector<std::uint8_t> bytes(buf, buf + n);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (toReceiver) {
          for (std::uint8_t& b : bytes)
            if (corrupt_.count(toReceiver_++)) b ^= 0xFF;
        }
        traffic_.push_back({toReceiver, bytes});
      }
      WriteAll(toReceiver ? rxSocket_ : senderMaster_, bytes.data(), bytes.size(), stop_);
    }
  }
}

int XmodemReceiver::Wait(int ms) {
  if (pid_ < 0) return status_;
  if (!Reap(pid_, ms, status_)) return -1;
  pid_ = -1;
  return status_;
}

std::vector<std::uint8_t> XmodemReceiver::Received() const {
  if (dir_.empty()) return {};
  std::string data = Slurp(dir_ + "/received.bin");
  return std::vector<std::uint8_t>(data.begin(), data.end());
}

std::string XmodemReceiver::Messages() const {
  return dir_.empty() ? std::string() : Slurp(dir_ + "/messages");
}

std::vector<XmodemReceiver::Chunk> XmodemReceiver::Traffic() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return traffic_;
}

void XmodemReceiver::CorruptToReceiver(std::uint64_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  corrupt_.insert(index);
}

unsigned XmodemReceiver::SenderBaud() const {
  termios t{};
  if (senderMaster_ < 0 || tcgetattr(senderMaster_, &t) != 0) return 0;
  static const std::pair<speed_t, unsigned> rates[] = {
      {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
      {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  for (const auto& [code, rate] : rates)
    if (cfgetospeed(&t) == code) return rate;
  return 0;
}

XmodemReceiver::~XmodemReceiver() {
  stop_ = true;
  if (pump_.joinable()) pump_.join();
  if (pid_ >= 0) {
    kill(pid_, SIGKILL);
    int ignored;
    Reap(pid_, 5000, ignored);
  }
  for (int fd : {senderMaster_, senderKeep_, rxSocket_})
    if (fd >= 0) ::close(fd);
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

}  // namespace testsupport
