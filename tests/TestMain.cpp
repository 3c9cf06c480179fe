#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Collects the tests that skipped themselves (a missing tool, a build without the window).
class SkipCollector : public ::testing::EmptyTestEventListener {
 public:
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (info.result() && info.result()->Skipped())
      skipped.push_back(std::string(info.test_suite_name()) + "." + info.name());
  }
  std::vector<std::string> skipped;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The project's test command installs every tool the tests use, so there a skipped test is
  // a check that did not run: it fails.
  const char* noSkips = std::getenv("UPDATE_NO_SKIPS");
  auto* collector = new SkipCollector;
  ::testing::UnitTest::GetInstance()->listeners().Append(collector);
  int status = RUN_ALL_TESTS();
  if (noSkips && *noSkips && *noSkips != '0' && !collector->skipped.empty()) {
    for (const std::string& name : collector->skipped)
      std::fprintf(stderr, "%s was skipped; with UPDATE_NO_SKIPS set every test must run\n", name.c_str());
    status = 1;
  }
  return status;
}
