#pragma once
// The exit status of update-console, one per kind of outcome, so that a production line can
// tell a refused instrument from a missing one or a broken cable without reading the log.
#include <array>

namespace app {

enum class ExitCode : int {
  Success = 0,         // updated, or already up to date and the repeat declined
  Failed = 1,          // programming or a later step failed, or the time limit ran out
  Usage = 2,           // the command line is wrong
  Refused = 3,         // wrong instrument, newer firmware in it, or a question answered No
  NoInstrument = 4,    // nothing answered on the ports searched
  PortProblem = 5,     // a port missing, busy, not permitted, or unplugged during the run
  PackageProblem = 6,  // Update.ini, ProgDevice.ini or a program file missing, empty or damaged
};

struct ExitCodeText {
  ExitCode code;
  const char* meaning;
};

// In the order of the codes; the help text and the man page list the same.
inline constexpr std::array<ExitCodeText, 7> kExitCodes = {{
    {ExitCode::Success, "updated, or already up to date and the repeat declined (--no)"},
    {ExitCode::Failed, "programming or a later step failed, or the time limit ran out"},
    {ExitCode::Usage, "wrong command line"},
    {ExitCode::Refused, "refused: not an instrument of this package, its firmware is newer, or a "
                        "question was answered No"},
    {ExitCode::NoInstrument, "no instrument answered on the ports searched"},
    {ExitCode::PortProblem, "a serial port is missing, busy or not permitted, or went away "
                            "during the run"},
    {ExitCode::PackageProblem, "Update.ini, ProgDevice.ini or a program file of the package is "
                               "missing, empty or damaged"},
}};

constexpr int ToInt(ExitCode code) { return static_cast<int>(code); }

}  // namespace app
