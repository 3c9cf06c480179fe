// The console program as a user or an automated line runs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/RunProgram.h"

namespace {

using testsupport::BinPath;
using testsupport::RunProgram;

TEST(Console, EndsWithTheConfigurationMessageInAnEmptyFolder) {
  std::string dir = testsupport::MakeTempDir("empty");
  ASSERT_FALSE(dir.empty());
  auto r = RunProgram({BinPath("update-console")}, dir, {}, 20000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_NE(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Konfigurationsdatei 1 nicht vorhanden!!Programm wird beendet"), std::string::npos)
      << r.output;
}

TEST(Console, ShowsTheStartTextOfTheConfiguredLanguage) {
  namespace fs = std::filesystem;
  std::string dir = testsupport::MakeTempDir("starttext");
  ASSERT_FALSE(dir.empty());
  fs::copy(testsupport::SourcePath("package"), dir, fs::copy_options::recursive);
  // No ports: only the start-up matters here, so the console gives up after a second.
  auto r = RunProgram({BinPath("update-console"), "--timeout", "1"}, dir, {{"UPDATE_COM_PORTS", ""}}, 20000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.output.rfind("Firmware update 1.02 for Oxi 3310 DEMO, pH 3310 DEMO and Cond 3310 DEMO\n", 0), 0u) << r.output;
}

}  // namespace
