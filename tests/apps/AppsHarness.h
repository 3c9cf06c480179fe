#pragma once
// What the tests of the real programs share: a work folder per case, a copy of the sample
// package, and instrument-sim running in the background on its pseudo-terminal.
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

#include "support/RunProgram.h"

extern char** environ;

namespace {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// A folder of its own for one case, removed at the end.
struct WorkDir {
  std::string path = testsupport::MakeTempDir("realexe");
  ~WorkDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// instrument-sim in the background, linked to <dir>/tty<tag>, logging to <dir>/sim<tag>.log.
class Simulator {
 public:
  ~Simulator() { Stop(); }

  // True once the link to the slave side exists.
  bool Start(const WorkDir& dir, std::vector<std::string> options, const std::string& tag = "") {
    tty_ = dir / ("tty" + tag);
    log_ = dir / ("sim" + tag + ".log");
    out_ = dir / ("sim" + tag + ".out");
    std::vector<std::string> args = {testsupport::BinPath("instrument-sim"), "--link", tty_, "--log", log_};
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
      if (std::filesystem::is_symlink(tty_, ec)) return true;
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
inline std::string CopyPackage(const WorkDir& dir) {
  std::string pkg = dir / "package";
  std::filesystem::copy(testsupport::SourcePath("package"), pkg, std::filesystem::copy_options::recursive);
  return pkg;
}

}  // namespace
