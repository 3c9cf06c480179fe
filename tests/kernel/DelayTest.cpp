#include <gtest/gtest.h>

#include <chrono>

#include "kernel/Delay.h"
#include "platform/Headless.h"

namespace kernel {
namespace {

// Counts the window messages it receives.
class CountingForm : public platform::Form {
 public:
  CountingForm() : Form(nullptr, "Form") {}
  void HandleMessage(std::uint32_t, std::intptr_t, std::intptr_t) override { ++handled; }
  int handled = 0;
};

class Delay : public ::testing::Test {
 protected:
  platform::VirtualClock clock{5000};
  platform::HeadlessApplication app{&clock};
  CountingForm form;
  TDelay wait;

  void SetUp() override { wait.SetEnable(true); }
  std::uint32_t Now() { return clock.Milliseconds(); }
  void PostOne() { ASSERT_TRUE(app.PostMessage(&form, 1, 0, 0)); }
};

TEST(DelayProperties, NewInstanceIsDisabledWithDividendOne) {
  TDelay d;
  EXPECT_FALSE(d.Enable());
  EXPECT_EQ(d.Dividend(), 1);
  for (long v : {0L, -7L}) {
    d.SetDividend(v);
    EXPECT_EQ(d.Dividend(), 1);
  }
  d.SetDividend(3);
  EXPECT_EQ(d.Dividend(), 3);
}

TEST_F(Delay, DisabledReturnsAtOnce) {
  wait.SetEnable(false);
  PostOne();
  wait.DelayTime(10000, true);
  EXPECT_EQ(Now(), 5000u);
  EXPECT_EQ(form.handled, 0);
}

TEST_F(Delay, WaitsTheTimeDividedByDividend) {
  wait.SetDividend(2);
  wait.DelayTime(1001, true);
  EXPECT_EQ(Now(), 5500u);
  wait.DelayTime(1001, false);
  EXPECT_EQ(Now(), 6000u);
}

TEST_F(Delay, NothingToWaitReturnsWithoutAMessagePass) {
  wait.SetDividend(4);
  PostOne();
  for (long ms : {3L, 0L, -1L, -1000L}) {
    wait.DelayTime(ms, true);
    EXPECT_EQ(Now(), 5000u) << ms;
    EXPECT_EQ(form.handled, 0) << ms;
  }
}

TEST_F(Delay, ShortestWaitStillHandlesPendingMessages) {
  PostOne();
  wait.DelayTime(1, true);
  EXPECT_EQ(form.handled, 1);
  EXPECT_EQ(Now(), 5001u);
}

TEST_F(Delay, WithoutMessageProcessingNothingIsHandled) {
  PostOne();
  platform::Timer tick(nullptr, "Tick");
  int ticks = 0;
  tick.OnTimer = [&](platform::Timer&) { ++ticks; };
  tick.SetInterval(100);
  tick.SetEnabled(true);
  wait.DelayTime(350, false);
  EXPECT_EQ(Now(), 5350u);
  EXPECT_EQ(form.handled, 0);
  EXPECT_EQ(ticks, 0);
  tick.SetEnabled(false);
}

TEST_F(Delay, TimersAndNestedWaitsRunDuringAResponsiveWait) {
  platform::Timer tick(nullptr, "Tick");
  int ticks = 0;
  std::uint32_t nestedEnd = 0;
  tick.OnTimer = [&](platform::Timer&) {
    if (++ticks == 1) {
      wait.DelayTime(50, true);  // a handler that waits itself
      nestedEnd = Now();
    }
  };
  tick.SetInterval(100);
  tick.SetEnabled(true);
  wait.DelayTime(350, true);
  EXPECT_EQ(nestedEnd, 5150u);
  EXPECT_EQ(Now(), 5350u);
  EXPECT_EQ(ticks, 3);
  tick.SetEnabled(false);
}

TEST(DelayWrap, CounterWrapNeitherShortensNorLengthensTheWait) {
  platform::VirtualClock clock{0xFFFFFF00u};
  platform::HeadlessApplication app{&clock};
  TDelay wait;
  wait.SetEnable(true);
  for (bool messages : {false, true}) {
    const std::uint32_t start = clock.Milliseconds();
    wait.DelayTime(1000, messages);
    EXPECT_EQ(static_cast<std::uint32_t>(clock.Milliseconds() - start), 1000u) << messages;
  }
}

TEST(DelayNoApplication, SleepsForTheTime) {
  ASSERT_FALSE(platform::HasApp());
  TDelay wait;
  wait.SetEnable(true);
  const auto start = std::chrono::steady_clock::now();
  wait.DelayTime(20, true);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace kernel
