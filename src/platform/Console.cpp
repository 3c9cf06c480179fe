#include "platform/Console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace platform {

bool IsTerminal(std::FILE* stream) { return stream && ::isatty(::fileno(stream)) == 1; }

std::string LocalTimeStamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

struct ChildGroup::Impl {
  struct Child {
    pid_t pid = 0;
    int out = -1, err = -1;  // -1 once closed
    bool reported = false;
  };
  std::vector<Child> children;

  static void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

ChildGroup::ChildGroup() : d_(std::make_unique<Impl>()) {}

ChildGroup::~ChildGroup() {
  for (auto& c : d_->children) {
    Impl::CloseFd(c.out);
    Impl::CloseFd(c.err);
    if (c.reported || c.pid <= 0) continue;
    ::kill(c.pid, SIGTERM);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
  }
}

int ChildGroup::Start(const std::vector<std::string>& argv, std::string& error) {
  if (argv.empty()) {
    error = "no program";
    return -1;
  }
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return -1;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return -1;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    error = args[0] + ": " + std::strerror(rc);
    ::close(out[0]);
    ::close(err[0]);
    return -1;
  }
  Impl::Child c;
  c.pid = pid;
  c.out = out[0];
  c.err = err[0];
  d_->children.push_back(c);
  return static_cast<int>(d_->children.size()) - 1;
}

std::vector<ChildGroup::Output> ChildGroup::Poll(std::uint32_t ms) {
  std::vector<Output> result;
  std::vector<pollfd> fds;
  std::vector<std::pair<int, bool>> owners;  // child, standard error
  for (std::size_t i = 0; i < d_->children.size(); ++i) {
    const auto& c = d_->children[i];
    if (c.out >= 0) {
      fds.push_back({c.out, POLLIN, 0});
      owners.emplace_back(static_cast<int>(i), false);
    }
    if (c.err >= 0) {
      fds.push_back({c.err, POLLIN, 0});
      owners.emplace_back(static_cast<int>(i), true);
    }
  }
  if (fds.empty()) {
    // Nothing to read: only the exits are left to wait for.
    if (ms) ::usleep(std::min<std::uint32_t>(ms, 50) * 1000);
    return result;
  }
  int n = ::poll(fds.data(), fds.size(), static_cast<int>(ms));
  if (n <= 0) return result;
  for (std::size_t k = 0; k < fds.size(); ++k) {
    if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    auto [index, isErr] = owners[k];
    auto& c = d_->children[static_cast<std::size_t>(index)];
    int& fd = isErr ? c.err : c.out;
    char buf[8192];
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got > 0) {
      result.push_back({index, isErr, std::string(buf, static_cast<std::size_t>(got))});
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      Impl::CloseFd(fd);
    }
  }
  return result;
}

std::vector<ChildGroup::Ended> ChildGroup::Reap() {
  std::vector<Ended> result;
  for (std::size_t i = 0; i < d_->children.size(); ++i) {
    auto& c = d_->children[i];
    if (c.reported || c.out >= 0 || c.err >= 0) continue;
    int status = 0;
    rusage usage{};
    pid_t r = ::wait4(c.pid, &status, WNOHANG, &usage);
    if (r != c.pid) continue;
    c.reported = true;
    Ended e{static_cast<int>(i), -1, 0, 0.0};
    if (WIFEXITED(status)) e.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
    e.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.push_back(e);
  }
  return result;
}

void ChildGroup::Terminate(int child) {
  if (child < 0 || static_cast<std::size_t>(child) >= d_->children.size()) return;
  const auto& c = d_->children[static_cast<std::size_t>(child)];
  if (!c.reported && c.pid > 0) ::kill(c.pid, SIGTERM);
}

int ChildGroup::Running() const {
  int n = 0;
  for (const auto& c : d_->children)
    if (!c.reported) ++n;
  return n;
}

}  // namespace platform
