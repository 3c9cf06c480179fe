#pragma once
// Child processes: a program started from an argument vector (never through a shell) with
// the parent's environment and current folder, waited for in bounded slices, and its exit
// code. The caller keeps its window responsive between the slices.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class Process {
 public:
  Process() = default;
  // A child that is still running when its Process goes away is killed and reaped, so that
  // it can never outlive the port it was lent.
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (a path; no search along PATH) with argv[1..] as its arguments. Only
  // standard input, output and error are passed on; every other descriptor of this process
  // stays closed in the child. False when the program could not be started (missing, not
  // executable, not a program); Error() then says why.
  bool Start(const std::vector<std::string>& argv);
  // Waits up to ms for the end; true once the child has ended (at once when it had).
  bool Wait(std::uint32_t ms);
  bool Running() const { return pid_ > 0 && !ended_; }
  // The exit status after the end; a child ended by a signal gives 128 + the signal number,
  // as a shell reports it.
  int ExitCode() const { return exitCode_; }
  // Ends a running child at once (SIGKILL) and reaps it.
  void Kill();
  const std::string& Error() const { return error_; }

 private:
  bool Reap(bool block);
  int pid_ = 0;
  int pidfd_ = -1;
  bool ended_ = false;
  int exitCode_ = -1;
  std::string error_;
};

// The path of a program found along PATH (as a shell would find it), or "" when there is
// none. Names with a '/' are taken as they are when executable.
std::string FindProgram(const std::string& name);

}  // namespace platform
