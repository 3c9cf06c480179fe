#pragma once
// What the window and the console do with their command line before the form is built: the
// package folder becomes the working folder (where the configuration is read), the named
// devices become the port map, the language goes into the form's options. After the form is
// built, the console asks which of the run's ports could not be opened, and why.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "update/Updatemain.h"

namespace app {

struct PreparedRun {
  std::string packageFolder;                            // absolute; empty: the working folder
  std::vector<std::pair<int, std::string>> namedPorts;  // COM number, absolute device path
  update::TUpdateForm::Options formOptions;
};

// Device paths are taken relative to the folder the program started in. ExitCode::Success,
// or the code and error of what stands in the way (a package folder that does not exist:
// PackageProblem; more than one port for a package that fixes its port: Usage).
ExitCode PrepareRun(const RunOptions& options, PreparedRun& out, std::string& error);

struct PortProblem {
  int com = 0;       // 0: no port at all
  std::string path;
  std::string text;  // UTF-8: "COM 1 (/dev/ttyUSB0) may not be opened by user ..."
};

// The ports of this run that the built form could not open. Named ports must all open (the
// one the package fixes, when it fixes one); without names, a problem is reported only when
// not a single port could be opened.
std::vector<PortProblem> FindPortProblems(const update::TUpdateForm& form, const PreparedRun& run);

// Why COM<com> cannot be opened now, in words of the language (0 German, 1 English); empty
// when it can.
std::string DescribePortProblem(int com, std::int32_t language);

}  // namespace app
