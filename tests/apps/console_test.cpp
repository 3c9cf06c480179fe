// The console program as a user or an automated line runs it.
#include <gtest/gtest.h>

#include "support/RunProgram.h"

namespace {

using testsupport::BinPath;
using testsupport::RunProgram;

TEST(Console, EndsWithFailureInAnEmptyFolder) {
  std::string dir = testsupport::MakeTempDir("empty");
  ASSERT_FALSE(dir.empty());
  auto r = RunProgram({BinPath("update-console")}, dir, {}, 20000);
  EXPECT_FALSE(r.timedOut) << r.output;
  EXPECT_NE(r.status, 0) << r.output;
}

}  // namespace
