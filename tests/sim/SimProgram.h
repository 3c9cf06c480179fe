#pragma once
// instrument-sim as a child process on its pseudo-terminal, for the tests that talk to it
// through the slave side.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace simtest {

// The program lies beside the test executable; UPDATE_BIN_DIR may say otherwise.
inline std::string Binary() {
  if (const char* dir = std::getenv("UPDATE_BIN_DIR")) return std::string(dir) + "/instrument-sim";
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::filesystem::path(".") : self.parent_path()).string() + "/instrument-sim";
}

// Reads from fd until the text contains want or ms have passed.
inline std::string ReadUntil(int fd, const std::string& want, int ms) {
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

inline void SetBaud(int fd, speed_t speed, tcflag_t extra = 0) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_cflag |= extra;
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

inline bool WriteAll(int fd, const std::string& data) {
  return write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}


}  // namespace simtest
