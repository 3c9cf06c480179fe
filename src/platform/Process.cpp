#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace platform {

namespace {

// A descriptor that becomes readable when the child ends, so a wait sleeps instead of
// polling; -1 where the kernel has none (the wait then falls back to short sleeps).
int OpenPidFd(int pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#endif
  (void)pid;
  return -1;
}

bool Executable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

Process::~Process() { Kill(); }

bool Process::Start(const std::vector<std::string>& argv) {
  Kill();
  pid_ = 0;
  ended_ = false;
  exitCode_ = -1;
  error_.clear();
  if (argv.empty() || argv[0].empty()) {
    error_ = "no program";
    return false;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  argp.reserve(args.size() + 1);
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child gets the standard descriptors only: a serial device or a locked file of ours
  // must not stay open in a program that runs on after we took the port back.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Default signal handling in the child, whatever this process ignores.
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, &attr, argp.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error_ = std::strerror(rc);
    return false;
  }
  pid_ = pid;
  pidfd_ = OpenPidFd(pid_);
  return true;
}

bool Process::Reap(bool block) {
  if (pid_ <= 0) return true;
  if (ended_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  ended_ = true;
  if (r < 0) {
    exitCode_ = -1;  // reaped elsewhere: the status is lost
  } else if (WIFEXITED(status)) {
    exitCode_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exitCode_ = 128 + WTERMSIG(status);
  }
  if (pidfd_ >= 0) {
    ::close(pidfd_);
    pidfd_ = -1;
  }
  return true;
}

bool Process::Wait(std::uint32_t ms) {
  if (pid_ <= 0 || ended_) return true;
  if (Reap(false)) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return Reap(false);
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      int n = ::poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno != EINTR) {
        ::close(pidfd_);
        pidfd_ = -1;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 5)));
    }
    if (Reap(false)) return true;
  }
}

void Process::Kill() {
  if (pid_ <= 0 || ended_) return;
  ::kill(pid_, SIGKILL);
  Reap(true);
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return Executable(name) ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t colon = dirs.find(':', start);
    std::string dir = dirs.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    start = colon == std::string::npos ? dirs.size() + 1 : colon + 1;
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (Executable(candidate)) return candidate;
  }
  return {};
}

}  // namespace platform
