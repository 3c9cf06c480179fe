#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>

#include "Version.h"
#include "app/ExitCodes.h"

namespace app {

const OptionDef* OptionScanner::FindLong(const std::string& name) const {
  for (const OptionDef& s : defs_)
    if (name == s.longName) return &s;
  return nullptr;
}

const OptionDef* OptionScanner::FindShort(char c) const {
  for (const OptionDef& s : defs_)
    if (s.shortName && s.shortName == c) return &s;
  return nullptr;
}

int OptionScanner::Next(std::string& value, std::string& error) {
  value.clear();
  if (shortPos_ == 0) {
    if (i_ >= args_.size()) return kEnd;
    const std::string& a = args_[i_];
    if (operandsOnly_ || a.size() < 2 || a[0] != '-') {
      value = a;
      ++i_;
      return kOperand;
    }
    if (a == "--") {
      operandsOnly_ = true;
      ++i_;
      return Next(value, error);
    }
    if (a.rfind("--", 0) == 0) {
      std::size_t eq = a.find('=');
      std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      const OptionDef* def = FindLong(name);
      if (!def) {
        error = "unknown option '--" + name + "'";
        return kError;
      }
      if (def->takesValue) {
        if (eq != std::string::npos) {
          value = a.substr(eq + 1);
          ++i_;
        } else if (i_ + 1 < args_.size()) {
          value = args_[i_ + 1];
          i_ += 2;
        } else {
          error = "option '--" + name + "' needs a value";
          return kError;
        }
      } else {
        if (eq != std::string::npos) {
          error = "option '--" + name + "' takes no value";
          return kError;
        }
        ++i_;
      }
      return def->id;
    }
    shortPos_ = 1;
  }
  // Inside a group of short options.
  const std::string& a = args_[i_];
  char c = a[shortPos_];
  const OptionDef* def = FindShort(c);
  if (!def) {
    error = std::string("unknown option '-") + c + "'";
    shortPos_ = 0;
    return kError;
  }
  if (def->takesValue) {
    std::string rest = a.substr(shortPos_ + 1);
    shortPos_ = 0;
    if (!rest.empty()) {
      value = rest;
      ++i_;
    } else if (i_ + 1 < args_.size()) {
      value = args_[i_ + 1];
      i_ += 2;
    } else {
      error = std::string("option '-") + c + "' needs a value";
      return kError;
    }
    return def->id;
  }
  if (++shortPos_ >= a.size()) {
    shortPos_ = 0;
    ++i_;
  }
  return def->id;
}

std::optional<std::int32_t> ParseLanguageName(const std::string& text) {
  std::string t = text;
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (t == "de") return 0;
  if (t == "en") return 1;
  return std::nullopt;
}

std::optional<std::uint32_t> ParseSeconds(const std::string& text) {
  if (text.empty() || text.size() > 6 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
    return std::nullopt;
  unsigned long n = std::stoul(text);
  if (n < 1 || n > 604800) return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

namespace {

enum Id {
  kHelp, kVersion, kPort, kPackage, kLanguage, kYes, kNo, kJson, kLog, kVerbose, kDebug, kTimeout,
  kLogDir, kConsole,
};

// An option's value that may not be empty ("--log needs a file name").
bool TakeText(const std::string& value, const char* option, const char* needs, std::string& target,
              std::string& error) {
  if (value.empty()) {
    error = std::string(option) + " needs " + needs;
    return false;
  }
  target = value;
  return true;
}

bool TakeLanguage(const std::string& value, std::int32_t& target, std::string& error) {
  if (auto l = ParseLanguageName(value)) {
    target = *l;
    return true;
  }
  error = "--language takes de or en, not '" + value + "'";
  return false;
}

bool TakeTimeout(const std::string& value, std::uint32_t& target, std::string& error) {
  if (auto s = ParseSeconds(value)) {
    target = *s;
    return true;
  }
  error = "--timeout takes whole seconds from 1 to 604800, not '" + value + "'";
  return false;
}

bool RunOption(int id, const std::string& value, RunOptions& run, std::string& error) {
  switch (id) {
    case kPort:
      if (value.empty()) {
        error = "--port needs a device path";
        return false;
      }
      // The port map separates its entries with commas.
      if (value.find(',') != std::string::npos) {
        error = "--port " + value + ": a device path with a comma cannot be used";
        return false;
      }
      if (std::find(run.ports.begin(), run.ports.end(), value) != run.ports.end()) {
        error = "--port " + value + " is given twice";
        return false;
      }
      if (run.ports.size() == kMaxNamedPorts) {
        error = "at most " + std::to_string(kMaxNamedPorts) + " ports can be named";
        return false;
      }
      run.ports.push_back(value);
      return true;
    case kPackage: return TakeText(value, "--package", "a folder", run.package, error);
    case kLanguage: return TakeLanguage(value, run.language, error);
    default:
      return false;
  }
}

}  // namespace

bool ParseConsoleOptions(const std::vector<std::string>& args, ConsoleOptions& out, std::string& error) {
  static constexpr OptionDef kOptions[] = {
      {"help", 'h', false, kHelp},         {"version", 'V', false, kVersion},
      {"port", 'p', true, kPort},          {"package", 0, true, kPackage},
      {"language", 'l', true, kLanguage},  {"yes", 'y', false, kYes},
      {"no", 'n', false, kNo},             {"json", 0, false, kJson},
      {"log", 0, true, kLog},              {"verbose", 'v', false, kVerbose},
      {"debug", 0, false, kDebug},         {"timeout", 0, true, kTimeout},
  };
  OptionScanner scan(args, kOptions);
  std::string value;
  for (int id; (id = scan.Next(value, error)) != OptionScanner::kEnd;) {
    switch (id) {
      case OptionScanner::kError: return false;
      case OptionScanner::kOperand:
        error = "unexpected argument '" + value + "' (the package folder is given with --package)";
        return false;
      case kHelp: out.help = true; break;
      case kVersion: out.version = true; break;
      case kYes: out.answerYes = true; break;
      case kNo: out.answerYes = false; break;
      case kJson: out.json = true; break;
      case kVerbose: out.verbose = true; break;
      case kDebug: out.debug = true; break;
      case kLog:
        if (!TakeText(value, "--log", "a file name", out.logFile, error)) return false;
        break;
      case kTimeout:
        if (!TakeTimeout(value, out.timeoutSeconds, error)) return false;
        break;
      default:
        if (!RunOption(id, value, out.run, error)) return false;
    }
  }
  if (out.json && out.verbose) {
    error = "--json and --verbose exclude each other";
    return false;
  }
  return true;
}

bool ParseWindowOptions(const std::vector<std::string>& args, WindowOptions& out, std::string& error) {
  static constexpr OptionDef kOptions[] = {
      {"help", 'h', false, kHelp},   {"version", 'V', false, kVersion},
      {"port", 'p', true, kPort},    {"package", 0, true, kPackage},
      {"language", 'l', true, kLanguage},
  };
  OptionScanner scan(args, kOptions);
  std::string value;
  for (int id; (id = scan.Next(value, error)) != OptionScanner::kEnd;) {
    switch (id) {
      case OptionScanner::kError: return false;
      case OptionScanner::kOperand:
        // A folder handed over by the desktop (a dropped package folder).
        if (!out.run.package.empty()) {
          error = "only one package folder can be given";
          return false;
        }
        out.run.package = value;
        break;
      case kHelp: out.help = true; break;
      case kVersion: out.version = true; break;
      default:
        if (!RunOption(id, value, out.run, error)) return false;
    }
  }
  return true;
}

bool ParseLineOptions(const std::vector<std::string>& args, LineOptions& out, std::string& error) {
  static constexpr OptionDef kOptions[] = {
      {"help", 'h', false, kHelp},         {"version", 'V', false, kVersion},
      {"package", 0, true, kPackage},      {"language", 'l', true, kLanguage},
      {"yes", 'y', false, kYes},           {"no", 'n', false, kNo},
      {"json", 0, false, kJson},           {"log-dir", 0, true, kLogDir},
      {"console", 0, true, kConsole},      {"timeout", 0, true, kTimeout},
  };
  OptionScanner scan(args, kOptions);
  std::string value;
  for (int id; (id = scan.Next(value, error)) != OptionScanner::kEnd;) {
    switch (id) {
      case OptionScanner::kError: return false;
      case OptionScanner::kOperand:
        if (value.empty() || value.find(',') != std::string::npos) {
          error = "'" + value + "' cannot be used as a device path";
          return false;
        }
        if (std::find(out.devices.begin(), out.devices.end(), value) != out.devices.end()) {
          error = value + " is given twice";
          return false;
        }
        out.devices.push_back(value);
        break;
      case kHelp: out.help = true; break;
      case kVersion: out.version = true; break;
      case kYes: out.answerYes = true; break;
      case kNo: out.answerYes = false; break;
      case kJson: out.json = true; break;
      case kPackage:
        if (!TakeText(value, "--package", "a folder", out.package, error)) return false;
        break;
      case kLanguage:
        if (!TakeLanguage(value, out.language, error)) return false;
        break;
      case kLogDir:
        if (!TakeText(value, "--log-dir", "a folder", out.logDir, error)) return false;
        break;
      case kConsole:
        if (!TakeText(value, "--console", "a program", out.console, error)) return false;
        break;
      case kTimeout:
        if (!TakeTimeout(value, out.timeoutSeconds, error)) return false;
        break;
      default: return false;
    }
  }
  if (!out.help && !out.version && out.devices.empty()) {
    error = "no device given";
    return false;
  }
  return true;
}

namespace {

// "  N  meaning", wrapped at 80 columns under the meaning.
std::string ExitStatusText() {
  std::string text = "Exit status:\n";
  for (const ExitCodeText& e : kExitCodes) {
    std::string line = "  " + std::to_string(ToInt(e.code)) + "  ";
    const std::string indent(line.size(), ' ');
    std::string words = e.meaning;
    std::size_t pos = 0;
    bool first = true;
    while (pos < words.size()) {
      std::size_t end = words.find(' ', pos);
      if (end == std::string::npos) end = words.size();
      std::string word = words.substr(pos, end - pos);
      if (!first && line.size() + 1 + word.size() > 79) {
        text += line + "\n";
        line = indent;
        first = true;
      }
      line += (first ? "" : " ") + word;
      first = false;
      pos = end + 1;
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace

std::string ConsoleHelp() {
  return "Usage: update-console [OPTION]...\n"
         "Updates one instrument with an update package, without a window: starts as\n"
         "the window does, presses OK once, answers the message boxes, and prints the\n"
         "log, the boxes and the progress.\n"
         "\n"
         "  -p, --port DEVICE      use this serial device; repeat for more (COM1, COM2,\n"
         "                         ... in the order given; default: every serial device)\n"
         "      --package DIR      the update package (default: the working folder)\n"
         "  -l, --language de|en   the language of this run; Update.ini stays as it is\n"
         "  -y, --yes              answer question boxes with Yes (default)\n"
         "  -n, --no               answer question boxes with No\n"
         "      --json             one JSON object per line, the result last\n"
         "      --log FILE         append the whole log to FILE with time stamps, the\n"
         "                         debug trace included\n"
         "  -v, --verbose          print every status change and progress step\n"
         "      --debug            show the debug trace (commands, replies) in the log\n"
         "      --timeout SECONDS  give up after SECONDS (default 3600)\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n" +
         ExitStatusText() +
         "  130, 143  Ctrl+C (SIGINT) or SIGTERM ended the run; while the instrument\n"
         "            is being programmed the first one only warns, a second one aborts\n";
}

std::string WindowHelp() {
  return "Usage: update [OPTION]... [PACKAGE-DIR]\n"
         "The firmware update window: start it in the folder of an update package (or\n"
         "name the folder), connect the instrument and press OK.\n"
         "\n"
         "  -p, --port DEVICE      use this serial device; repeat for more (COM1, COM2,\n"
         "                         ... in the order given; default: every serial device)\n"
         "      --package DIR      the update package (default: the working folder)\n"
         "  -l, --language de|en   the language to start in; Update.ini stays as it is\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "Without a display the window cannot open; update-console runs the same update\n"
         "without one.\n"
         "\n"
         "Exit status: 0 when the window was closed, 1 when it could not start, 2 for a\n"
         "wrong command line.\n";
}

std::string LineHelp() {
  return "Usage: update-line [OPTION]... DEVICE...\n"
         "Updates one instrument on each DEVICE at the same time: runs one update-console\n"
         "per device, shows one line of progress per instrument and ends with a table.\n"
         "\n"
         "      --package DIR      the update package (default: the working folder)\n"
         "  -l, --language de|en   the language of the runs; Update.ini stays as it is\n"
         "  -y, --yes              answer question boxes with Yes (default)\n"
         "  -n, --no               answer question boxes with No\n"
         "      --log-dir DIR      one log per device in DIR (ttyUSB0.log for\n"
         "                         /dev/ttyUSB0)\n"
         "      --json             each run's result as a JSON line instead of the table\n"
         "      --timeout SECONDS  each run gives up after SECONDS (default 3600)\n"
         "      --console PROGRAM  the console program to run (default: the\n"
         "                         update-console beside update-line)\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "Exit status: 0 when every run exited 0, 1 when any did not, 2 for a wrong\n"
         "command line. The table shows each run's own (see update-console --help).\n";
}

std::string VersionText(const std::string& program) {
  return program + " " UPDATE_VERSION "\n"
         "Firmware update tool for measuring instruments on serial ports.\n";
}

}  // namespace app
