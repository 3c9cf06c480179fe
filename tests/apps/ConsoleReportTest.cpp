// What the console makes of a run: the exit status of each way a session ends, the progress
// line for people, JSON that reads back as written, and the launcher's view of its runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "app/ConsoleReport.h"
#include "app/Json.h"
#include "app/LineView.h"

namespace {

using app::ExitCode;
using Outcome = update::TUpdateForm::Outcome;
using update::RefusalTag;

TEST(Classify, EachWayASessionEndsHasItsExitStatus) {
  struct Case {
    const char* name;
    app::SessionFacts facts;
    ExitCode code;
    const char* outcome;
    const char* reason;
  } cases[] = {
      {"updated", {.outcome = Outcome::Succeeded, .instrumentFound = true}, ExitCode::Success, "updated", ""},
      {"repeat declined",
       {.outcome = Outcome::NotNeeded, .refusal = RefusalTag::Declined, .instrumentFound = true},
       ExitCode::Success, "up-to-date", "declined-repeat"},
      {"wrong device", {.outcome = Outcome::Refused, .refusal = RefusalTag::WrongDevice, .instrumentFound = true},
       ExitCode::Refused, "refused", "wrong-device"},
      {"newer firmware", {.outcome = Outcome::Refused, .refusal = RefusalTag::NewerFirmware, .instrumentFound = true},
       ExitCode::Refused, "refused", "newer-firmware"},
      {"question answered No", {.outcome = Outcome::Refused, .refusal = RefusalTag::Declined, .instrumentFound = true},
       ExitCode::Refused, "refused", "declined"},
      {"damaged program file",
       {.outcome = Outcome::Refused, .refusal = RefusalTag::PackageFile, .instrumentFound = true},
       ExitCode::PackageProblem, "package-problem", "package-file"},
      {"configuration missing", {.startupFailed = true}, ExitCode::PackageProblem, "package-problem",
       "configuration-missing"},
      {"ports unusable", {.portProblem = true}, ExitCode::PortProblem, "port-problem", "port-unusable"},
      // No port was usable when OK started the search, so none was run.
      {"no port at the search", {.outcome = Outcome::NoPort}, ExitCode::PortProblem, "port-problem", "port-unusable"},
      {"port gone", {.outcome = Outcome::Failed, .instrumentFound = true, .portGone = true}, ExitCode::PortProblem,
       "port-problem", "port-gone"},
      {"nothing answered", {.outcome = Outcome::Failed}, ExitCode::NoInstrument, "no-instrument", "no-answer"},
      {"time out while searching", {.outcome = Outcome::Running, .timedOut = true}, ExitCode::NoInstrument,
       "no-instrument", "timeout"},
      {"programming failed", {.outcome = Outcome::Failed, .instrumentFound = true}, ExitCode::Failed, "failed",
       "step-failed"},
      {"time out while programming", {.outcome = Outcome::Running, .instrumentFound = true, .timedOut = true},
       ExitCode::Failed, "failed", "timeout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    app::Verdict v = app::Classify(c.facts);
    EXPECT_EQ(v.code, c.code);
    EXPECT_STREQ(v.outcome, c.outcome);
    EXPECT_STREQ(v.reason, c.reason);
  }
}

TEST(ProgressPercent, OnlyPercentagesCount) {
  struct Case {
    const char* text;
    std::optional<double> percent;
  } cases[] = {
      {"  0.7 %", 0.7}, {"100.0 %", 100.0}, {"Erase 12.5 %", 12.5}, {"12 %  ", 12.0},
      {"Update ready", std::nullopt}, {"%", std::nullopt}, {"", std::nullopt}, {"x %", std::nullopt},
      {"1.2.3 %", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(app::ProgressPercent(c.text), c.percent);
  }
}

// Runs f with a report writing into memory and returns what it wrote.
template <typename F>
std::string Captured(F f) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  f(out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(HumanReport, ProgressIsOneLineOnATerminalAndTenthsElsewhere) {
  auto run = [](app::HumanReport& r) {
    r.Memo("start");
    for (double p : {0.7, 1.3, 2.6, 1.4, 9.9, 10.1, 35.0, 100.0}) {
      char text[16];
      std::snprintf(text, sizeof text, "%5.1f %%", p);
      r.Progress(p, text);
    }
    r.Memo("done");
  };
  std::string file = Captured([&](std::FILE* out) {
    app::HumanReport r(out, false, false);
    run(r);
  });
  // A line at the first step of each phase and at each tenth passed; the phase that starts
  // again at 1.4 % shows from its start.
  EXPECT_EQ(file,
            "start\nprogress 0.7 %\nprogress 1.4 %\nprogress 10.1 %\nprogress 35.0 %\nprogress 100.0 %\ndone\n");

  std::string terminal = Captured([&](std::FILE* out) {
    app::HumanReport r(out, true, false);
    run(r);
  });
  EXPECT_EQ(terminal.find("start\n\r\033[Kprogress 0.7 %\r\033[Kprogress 1.3 %"), 0u) << terminal;
  // The next line of the log starts below the last progress shown.
  EXPECT_NE(terminal.find("\r\033[Kprogress 100.0 %\ndone\n"), std::string::npos) << terminal;
  EXPECT_EQ(terminal.find("[status"), std::string::npos);

  std::string verbose = Captured([&](std::FILE* out) {
    app::HumanReport r(out, false, true);
    run(r);
    r.Status(1, "Com3");
  });
  EXPECT_NE(verbose.find("[status 4]   0.7 %\n[status 4]   1.3 %\n"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("[status 1] Com3\n"), std::string::npos) << verbose;
}

TEST(HumanReport, BoxesAndTheResultLine) {
  std::string text = Captured([](std::FILE* out) {
    app::HumanReport r(out, false, false);
    r.Box({"question", "Info", "Program again?", true, false});
    app::RunResult result;
    result.verdict = {ExitCode::Refused, "refused", "declined"};
    result.message = "refused: a question was answered No";
    r.Result(result);
  });
  EXPECT_EQ(text,
            "[question box] Info: Program again?\n[answer] No\n"
            "update-console: refused: a question was answered No (exit 3)\n");
}

TEST(Json, WhatIsWrittenReadsBack) {
  app::RunResult r;
  r.verdict = {ExitCode::Success, "updated", ""};
  r.message = "updated \"Oxi\"\tfür\n\x01";
  r.instrument = app::Identity{"Oxi 3310", "28160.000", "14210045", "12345.000", "1.01", "1.02"};
  r.versionBefore = "1.01";
  r.versionAfter = "1.02";
  r.port = "COM3";
  r.seconds = 27.25;
  r.problems = {"a", "b"};
  auto v = app::ParseJson(app::ResultJson(r));
  ASSERT_TRUE(v && v->IsObject());
  EXPECT_EQ(v->Text("message"), r.message);
  EXPECT_EQ(v->Number("exit", -1), 0);
  EXPECT_TRUE(v->Member("reason")->IsNull());
  EXPECT_TRUE(v->Member("device")->IsNull());
  EXPECT_DOUBLE_EQ(v->Number("duration"), 27.25);
  EXPECT_EQ(v->Member("instrument")->Text("serial"), "14210045");
  ASSERT_TRUE(v->Member("problems")->AsArray());
  EXPECT_EQ(v->Member("problems")->AsArray()->size(), 2u);
}

TEST(Json, TheReaderTakesJsonAndNothingElse) {
  auto u = app::ParseJson(R"({"a":"\u00fc\ud83d\ude00\/","b":[1,-2.5e3,true,null],"c":{}})");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->Text("a"), "\xC3\xBC\xF0\x9F\x98\x80/");
  EXPECT_DOUBLE_EQ(std::get<double>((*u->Member("b")->AsArray())[1].value), -2500.0);
  for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "{\"a\":1,}", "01", "1.", "\"\\x\"", "\"\\ud800\"",
                          "{\"a\":1} x", "\"tab\there\"", "nul", "{a:1}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(app::ParseJson(bad));
  }
  // Nesting has a limit instead of exhausting the stack.
  EXPECT_FALSE(app::ParseJson(std::string(100000, '[') + std::string(100000, ']')));
  EXPECT_TRUE(app::ParseJson(std::string(60, '[') + std::string(60, ']')));
}

TEST(LineView, ARunsJsonLinesBecomeItsStateAndItsRow) {
  app::LineRun run;
  run.device = "/dev/ttyUSB0";
  run.label = app::DeviceLabel(run.device, {});
  EXPECT_EQ(run.label, "ttyUSB0");
  EXPECT_EQ(run.State(), "starting");
  // Lines arrive cut anywhere.
  std::string lines =
      "{\"type\":\"status\",\"panel\":2,\"text\":\"4800\"}\n"
      "{\"type\":\"status\",\"panel\":1,\"text\":\"Com1\"}\n"
      "{\"type\":\"instrument\",\"name\":\"Oxi 3310 DEMO\",\"serial\":\"14210045\",\"version\":\"1.01\"}\n"
      "{\"type\":\"progress\",\"percent\":45.3}\n";
  run.TakeOutput(lines.substr(0, 50));
  EXPECT_EQ(run.State(), "searching 4800");
  run.TakeOutput(lines.substr(50, 60));
  EXPECT_EQ(run.State(), "found on Com1");
  run.TakeOutput(lines.substr(110));
  EXPECT_EQ(run.State(), "programming 45.3 %");
  EXPECT_EQ(run.name, "Oxi 3310 DEMO");
  run.TakeOutput("not json\n{\"type\":\"result\",\"outcome\":\"updated\",\"version_before\":\"1.01\","
                 "\"version_after\":\"1.02\",\"message\":\"m\",\"instrument\":null}\n");
  run.End(0, 0, 0.25, 28.0);
  EXPECT_EQ(run.State(), "updated 1.01 -> 1.02 (exit 0)");

  app::LineRun killed;
  killed.device = "/dev/serial/by-id/usb-FTDI";
  killed.label = app::DeviceLabel(killed.device, {"usb-FTDI", "usb-FTDI-2"});
  EXPECT_EQ(killed.label, "usb-FTDI-3");
  killed.TakeErrors("update-console: something\n");
  killed.End(-1, 9, 0.1, 3.0);
  EXPECT_EQ(killed.outcome, "killed");
  EXPECT_EQ(killed.State(), "killed (exit signal 9)");

  std::string table = app::SummaryTable({run, killed});
  std::istringstream rows(table);
  std::string header, first, second;
  std::getline(rows, header);
  std::getline(rows, first);
  std::getline(rows, second);
  EXPECT_EQ(header.find("port"), 0u);
  for (const char* column : {"instrument", "serial", "before", "after", "outcome", "exit", "time", "cpu"})
    EXPECT_NE(header.find(column), std::string::npos) << column;
  EXPECT_NE(first.find("/dev/ttyUSB0"), std::string::npos);
  EXPECT_NE(first.find("Oxi 3310 DEMO"), std::string::npos);
  EXPECT_NE(first.find("14210045"), std::string::npos);
  EXPECT_NE(first.find("updated"), std::string::npos);
  EXPECT_NE(first.find("28.0 s"), std::string::npos);
  EXPECT_NE(second.find("sig 9"), std::string::npos) << second;
  // Columns line up: "outcome" stands at the same place in every row.
  EXPECT_EQ(first.find("updated"), header.find("outcome"));
  EXPECT_EQ(second.find("killed"), header.find("outcome"));
}

}  // namespace
