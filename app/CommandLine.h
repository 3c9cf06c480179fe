#pragma once
// The command lines of update, update-console and update-line, in the usual form: long
// options ("--port DEVICE" or "--port=DEVICE"), short ones ("-p DEVICE", "-pDEVICE", "-yv"),
// "--" before operands. Help texts go to standard output.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace app {

// One option of a program.
struct OptionDef {
  const char* longName;  // without "--"
  char shortName;        // 0: none
  bool takesValue;
  int id;
};

// Walks a command line option by option.
class OptionScanner {
 public:
  static constexpr int kOperand = -1, kEnd = -2, kError = -3;
  OptionScanner(const std::vector<std::string>& args, std::span<const OptionDef> defs)
      : args_(args), defs_(defs) {}
  // The next option's id (value set when it takes one), kOperand with the operand in value,
  // kEnd, or kError with error set.
  int Next(std::string& value, std::string& error);

 private:
  const OptionDef* FindLong(const std::string& name) const;
  const OptionDef* FindShort(char c) const;
  const std::vector<std::string>& args_;
  std::span<const OptionDef> defs_;
  std::size_t i_ = 0;
  std::size_t shortPos_ = 0;  // inside a group of short options ("-yv"), else 0
  bool operandsOnly_ = false;
};

// The window searches at most this many ports.
inline constexpr std::size_t kMaxNamedPorts = 10;

// What the window and the console both take.
struct RunOptions {
  std::vector<std::string> ports;  // --port, in order
  std::string package;             // --package; empty: the working folder
  std::int32_t language = -1;      // --language: 0 German, 1 English, -1 from Update.ini
};

struct ConsoleOptions {
  RunOptions run;
  bool help = false;
  bool version = false;
  bool answerYes = true;
  bool json = false;
  bool verbose = false;
  bool debug = false;
  std::string logFile;
  std::uint32_t timeoutSeconds = 3600;
};

struct WindowOptions {
  RunOptions run;
  bool help = false;
  bool version = false;
};

struct LineOptions {
  std::vector<std::string> devices;  // operands
  std::string package;
  std::int32_t language = -1;
  bool answerYes = true;
  bool json = false;
  std::string logDir;
  std::string console;  // the console program; empty: update-console beside update-line
  std::uint32_t timeoutSeconds = 3600;
  bool help = false;
  bool version = false;
};

// False with error set for a wrong command line.
bool ParseConsoleOptions(const std::vector<std::string>& args, ConsoleOptions& out, std::string& error);
bool ParseWindowOptions(const std::vector<std::string>& args, WindowOptions& out, std::string& error);
bool ParseLineOptions(const std::vector<std::string>& args, LineOptions& out, std::string& error);

std::string ConsoleHelp();
std::string WindowHelp();
std::string LineHelp();
// "NAME VERSION" and a line on what it is.
std::string VersionText(const std::string& program);

// "de"/"en" (any case) -> 0/1.
std::optional<std::int32_t> ParseLanguageName(const std::string& text);
// Whole seconds 1 .. 604800.
std::optional<std::uint32_t> ParseSeconds(const std::string& text);

}  // namespace app
