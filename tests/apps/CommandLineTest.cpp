// The command lines of the programs: what each option sets, what is refused and with which
// words, and that the help and the man page list the same exit statuses.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "support/RunProgram.h"

namespace {

using app::ConsoleOptions;

TEST(ConsoleOptions, WhatEachCommandLineSets) {
  struct Case {
    std::vector<std::string> args;
    std::function<void(const ConsoleOptions&)> check;
  } cases[] = {
      {{}, [](const ConsoleOptions& o) {
         EXPECT_TRUE(o.run.ports.empty());
         EXPECT_TRUE(o.run.package.empty());
         EXPECT_EQ(o.run.language, -1);
         EXPECT_TRUE(o.answerYes);
         EXPECT_FALSE(o.json || o.verbose || o.debug || o.help || o.version);
         EXPECT_EQ(o.timeoutSeconds, 3600u);
       }},
      {{"--port", "/dev/b", "-p", "/dev/a", "--port=/dev/c", "-p/dev/d"},
       [](const ConsoleOptions& o) {
         EXPECT_EQ(o.run.ports, (std::vector<std::string>{"/dev/b", "/dev/a", "/dev/c", "/dev/d"}));
       }},
      {{"--package", "pkg", "--language", "EN", "--log", "x.log", "--timeout", "90", "--json", "--debug"},
       [](const ConsoleOptions& o) {
         EXPECT_EQ(o.run.package, "pkg");
         EXPECT_EQ(o.run.language, 1);
         EXPECT_EQ(o.logFile, "x.log");
         EXPECT_EQ(o.timeoutSeconds, 90u);
         EXPECT_TRUE(o.json && o.debug);
       }},
      {{"-l", "de", "-n"}, [](const ConsoleOptions& o) {
         EXPECT_EQ(o.run.language, 0);
         EXPECT_FALSE(o.answerYes);
       }},
      // The last answer counts; short flags group.
      {{"-n", "-yv"}, [](const ConsoleOptions& o) { EXPECT_TRUE(o.answerYes && o.verbose); }},
      {{"-h"}, [](const ConsoleOptions& o) { EXPECT_TRUE(o.help); }},
      {{"--version"}, [](const ConsoleOptions& o) { EXPECT_TRUE(o.version); }},
      {{"-V"}, [](const ConsoleOptions& o) { EXPECT_TRUE(o.version); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ConsoleOptions o;
    std::string error;
    ASSERT_TRUE(app::ParseConsoleOptions(c.args, o, error)) << error;
    c.check(o);
  }
}

TEST(ConsoleOptions, WrongCommandLinesAreRefusedWithTheReason) {
  std::vector<std::string> elevenPorts;
  for (int i = 0; i < 11; ++i) elevenPorts.insert(elevenPorts.end(), {"-p", "/dev/tty" + std::to_string(i)});
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--port"}, "option '--port' needs a value"},
      {{"-p"}, "option '-p' needs a value"},
      {{"--json=1"}, "option '--json' takes no value"},
      {{"pkg"}, "unexpected argument 'pkg'"},
      {{"--", "--yes"}, "unexpected argument '--yes'"},
      {{"--language", "fr"}, "--language takes de or en, not 'fr'"},
      {{"--timeout", "0"}, "--timeout takes whole seconds"},
      {{"--timeout", "12s"}, "--timeout takes whole seconds"},
      {{"--timeout", "604801"}, "--timeout takes whole seconds"},
      {{"--json", "-v"}, "--json and --verbose exclude each other"},
      {{"-p", "/dev/a", "-p", "/dev/a"}, "/dev/a is given twice"},
      {{"-p", "/dev/a,/dev/b"}, "a device path with a comma"},
      {{"--port="}, "--port needs a device path"},
      {{"--log", ""}, "--log needs a file name"},
      {{"--package="}, "--package needs a folder"},
      {elevenPorts, "at most 10 ports"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ConsoleOptions o;
    std::string error;
    EXPECT_FALSE(app::ParseConsoleOptions(c.args, o, error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(WindowOptions, APackageFolderMayStandAlone) {
  app::WindowOptions o;
  std::string error;
  ASSERT_TRUE(app::ParseWindowOptions({"-l", "en", "/opt/pkg"}, o, error)) << error;
  EXPECT_EQ(o.run.package, "/opt/pkg");
  EXPECT_EQ(o.run.language, 1);
  app::WindowOptions two;
  EXPECT_FALSE(app::ParseWindowOptions({"--package", "a", "b"}, two, error));
  EXPECT_NE(error.find("only one package folder"), std::string::npos) << error;
  app::WindowOptions console;
  EXPECT_FALSE(app::ParseWindowOptions({"--json"}, console, error));
}

TEST(LineOptions, DevicesAreOperandsAndAtLeastOneIsNeeded) {
  app::LineOptions o;
  std::string error;
  ASSERT_TRUE(app::ParseLineOptions({"--log-dir", "logs", "-n", "/dev/ttyUSB0", "/dev/ttyUSB1", "--timeout", "60"}, o,
                                    error))
      << error;
  EXPECT_EQ(o.devices, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
  EXPECT_EQ(o.logDir, "logs");
  EXPECT_FALSE(o.answerYes);
  EXPECT_EQ(o.timeoutSeconds, 60u);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{}, "no device given"},
      {{"/dev/a", "/dev/a"}, "/dev/a is given twice"},
      {{"--port", "/dev/a"}, "unknown option '--port'"},
  };
  for (const Case& c : cases) {
    app::LineOptions bad;
    EXPECT_FALSE(app::ParseLineOptions(c.args, bad, error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  app::LineOptions help;
  EXPECT_TRUE(app::ParseLineOptions({"--help"}, help, error)) << error;
}

// The help and the man page are read by different people; both must list every status.
TEST(ExitStatus, HelpAndManPageListEveryCode) {
  std::string help = app::ConsoleHelp();
  std::ifstream in(testsupport::SourcePath("packaging/man/update-console.1"));
  std::stringstream man;
  man << in.rdbuf();
  ASSERT_FALSE(man.str().empty());
  std::string exitSection = man.str().substr(man.str().find(".SH EXIT STATUS"));
  exitSection = exitSection.substr(0, exitSection.find(".SH", 4));
  for (const app::ExitCodeText& e : app::kExitCodes) {
    const std::string code = std::to_string(app::ToInt(e.code));
    EXPECT_NE(help.find("\n  " + code + "  "), std::string::npos) << code;
    EXPECT_NE(exitSection.find(".TP\n.B " + code + "\n"), std::string::npos) << code;
  }
  EXPECT_EQ(exitSection.find(".TP\n.B 7\n"), std::string::npos);
  // Every line of the helps fits a terminal of 80 columns.
  for (const std::string& text : {help, app::WindowHelp(), app::LineHelp()}) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 80u) << line;
  }
}

}  // namespace
