#pragma once
// What the command-line programs need from the system: whether an output is a terminal,
// local time stamps for log files, and child programs whose output is read through pipes
// (the production-line launcher runs one console program per port).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// True when the stream writes to a terminal.
bool IsTerminal(std::FILE* stream);

// Local time "YYYY-MM-DD HH:MM:SS.mmm".
std::string LocalTimeStamp();

// Child programs started with an argument vector (never through a shell), their standard
// input from /dev/null, standard output and standard error each read through a pipe.
class ChildGroup {
 public:
  ChildGroup();
  ~ChildGroup();  // children still running get SIGTERM and are waited for
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Index of the new child, or -1 with error set.
  int Start(const std::vector<std::string>& argv, std::string& error);

  struct Output {
    int child;
    bool standardError;
    std::string bytes;
  };
  // Waits up to ms for output of any child and returns what arrived.
  std::vector<Output> Poll(std::uint32_t ms);

  struct Ended {
    int child;
    int exitCode;        // -1 when it ended by a signal
    int signal;          // the signal that ended it, else 0
    double cpuSeconds;   // user and system time of the child
  };
  // Children whose output is drained and who have ended, each reported once.
  std::vector<Ended> Reap();
  // Children not yet reported by Reap.
  int Running() const;
  // Asks a child that has not been reported yet to end (SIGTERM).
  void Terminate(int child);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace platform
