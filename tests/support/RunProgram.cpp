#include "support/RunProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>

extern char** environ;

namespace testsupport {

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         int timeoutMs, bool separateErrors) {
  ProgramResult result;
  int pipefd[2];
  if (pipe(pipefd) != 0) return result;
  int errfd[2] = {-1, -1};
  if (separateErrors && pipe(errfd) != 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return result;
  }

  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, separateErrors ? errfd[1] : pipefd[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  if (separateErrors) posix_spawn_file_actions_addclose(&actions, errfd[0]);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (separateErrors) close(errfd[1]);
  if (rc != 0) {
    close(pipefd[0]);
    if (separateErrors) close(errfd[0]);
    result.output = "spawn failed";
    return result;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p[2] = {{pipefd[0], POLLIN, 0}, {errfd[0], POLLIN, 0}};
    const nfds_t count = errfd[0] >= 0 ? 2 : 1;
    int n = poll(p, count, static_cast<int>(left));
    if (n > 0) {
      if (p[0].revents) {
        ssize_t got = read(pipefd[0], buf, sizeof buf);
        if (got <= 0) break;
        result.output.append(buf, static_cast<std::size_t>(got));
      }
      if (count == 2 && p[1].revents) {
        ssize_t got = read(errfd[0], buf, sizeof buf);
        if (got > 0) {
          result.errors.append(buf, static_cast<std::size_t>(got));
        } else {
          close(errfd[0]);
          errfd[0] = -1;
        }
      }
    }
  }
  // What standard error still holds once standard output has ended.
  while (errfd[0] >= 0) {
    pollfd p{errfd[0], POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) break;
    ssize_t got = read(errfd[0], buf, sizeof buf);
    if (got <= 0) break;
    result.errors.append(buf, static_cast<std::size_t>(got));
  }
  if (errfd[0] >= 0) close(errfd[0]);
  close(pipefd[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!result.timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::string BinPath(const std::string& name) {
  const char* dir = std::getenv("UPDATE_BIN_DIR");
  return std::string(dir ? dir : UPDATE_BIN_DIR_DEFAULT) + "/" + name;
}

std::string SourcePath(const std::string& relative) {
  const char* dir = std::getenv("UPDATE_SOURCE_DIR");
  return std::string(dir ? dir : UPDATE_SOURCE_DIR_DEFAULT) + "/" + relative;
}

std::string MakeTempDir(const std::string& tag) {
  std::string templ = (std::filesystem::temp_directory_path() / ("upd-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(templ.data())) return {};
  return templ;
}

}  // namespace testsupport
