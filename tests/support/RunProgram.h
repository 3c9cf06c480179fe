#pragma once
// Runs one of the project's executables for a test: argument vector (no shell), working
// folder, extra environment, a time limit; returns exit status and standard output.
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct ProgramResult {
  int status = -1;       // exit status; -1 when it had to be killed or did not start
  bool timedOut = false;
  std::string output;    // standard output and standard error, interleaved
  std::string errors;    // standard error, when it was asked for apart
};

// separateErrors: standard error goes to errors instead of output.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         int timeoutMs, bool separateErrors = false);

// build/bin/<name>, from the UPDATE_BIN_DIR the test runner sets.
std::string BinPath(const std::string& name);
// The source tree, from UPDATE_SOURCE_DIR.
std::string SourcePath(const std::string& relative);
// A fresh empty folder below the system's temporary folder.
std::string MakeTempDir(const std::string& tag);

}  // namespace testsupport
