#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kernel/Events.h"
#include "kernel/Timer.h"
#include "platform/Headless.h"

namespace kernel {
namespace {

// Five window timers with Tag = slot, whose expiry posts into a queue as the main window's
// handler does.
class Pool : public ::testing::Test {
 protected:
  platform::VirtualClock clock{1000};
  platform::HeadlessApplication app{&clock};
  std::vector<std::unique_ptr<platform::Timer>> timers;
  TimerPool pool;
  EventQueue queue;

  void SetUp() override {
    std::vector<platform::Timer*> refs;
    for (int i = 1; i <= 5; ++i) {
      auto t = std::make_unique<platform::Timer>(nullptr, "Timer" + std::to_string(i));
      t->Tag = i;
      t->OnTimer = [this](platform::Timer& sender) { Expired(sender); };
      refs.push_back(t.get());
      timers.push_back(std::move(t));
    }
    pool.Init(refs);
  }
  void TearDown() override { timers.clear(); }

  void Expired(platform::Timer& t) {
    if (TimerPool::ShouldPost(t)) queue.PostTimer(t.Tag);
  }
  platform::Timer& T(int slot) { return *timers[static_cast<std::size_t>(slot - 1)]; }

  // Moves time on by ms and lets due timers fire; the codes posted meanwhile.
  std::vector<std::int32_t> Run(std::uint32_t ms) {
    for (std::uint32_t i = 0; i < ms; ++i) {
      clock.Advance(1);
      app.ProcessMessages();
    }
    std::vector<std::int32_t> codes;
    for (Event ev = queue.TakeEvent(); ev.kind != EvNone; ev = queue.TakeEvent()) {
      EXPECT_EQ(ev.kind, EvTimer);
      codes.push_back(ev.code);
    }
    return codes;
  }
};

using Codes = std::vector<std::int32_t>;

TEST_F(Pool, HandsOutFreeSlotsInOrderAndReusesStoppedOnes) {
  EXPECT_EQ(pool.StartTimer(100), 1);
  EXPECT_EQ(pool.StartTimer(200), 2);
  EXPECT_TRUE(T(1).Enabled());
  EXPECT_EQ(T(2).Interval(), 200u);
  EXPECT_EQ(pool.StopTimer(1), 0);
  EXPECT_FALSE(T(1).Enabled());
  EXPECT_FALSE(pool.Busy(1));
  EXPECT_EQ(pool.StartTimer(300), 1);
  EXPECT_EQ(T(1).Interval(), 300u);
  EXPECT_EQ(pool.StartTimer(50), 3);
}

TEST_F(Pool, LastSlotIsSharedWhenTheOthersAreBusy) {
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(pool.StartTimer(5000), i);
  EXPECT_EQ(pool.StartTimer(1000), 5);
  EXPECT_EQ(Run(500), Codes{});
  EXPECT_EQ(pool.StartTimer(200), 5);
  EXPECT_TRUE(pool.Busy(5));
  EXPECT_EQ(T(5).Interval(), 200u);
  // The newest holder's interval runs from its own start.
  EXPECT_EQ(Run(199), Codes{});
  EXPECT_EQ(Run(1), Codes{5});
  // Once another slot is free it is preferred to the shared one.
  pool.StopTimer(2);
  EXPECT_EQ(pool.StartTimer(100), 2);
}

TEST_F(Pool, ExpiresEveryIntervalUntilStopped) {
  const std::int32_t a = pool.StartTimer(100);
  const std::int32_t b = pool.StartTimer(250);
  EXPECT_EQ(Run(300), (Codes{a, a, b, a}));
  pool.StopTimer(a);
  EXPECT_EQ(Run(250), Codes{b});
}

TEST_F(Pool, RestartBeginsTheFullIntervalAgain) {
  const std::int32_t a = pool.StartTimer(100);
  EXPECT_EQ(Run(60), Codes{});
  pool.RestartTimer(a);
  EXPECT_EQ(T(a).Interval(), 100u);
  EXPECT_EQ(Run(99), Codes{});
  EXPECT_EQ(Run(1), Codes{a});
}

TEST_F(Pool, IndicesOutsideThePoolOrOfFreeSlotsChangeNothing) {
  EXPECT_EQ(pool.StartTimer(100), 1);
  for (std::int32_t index : {0, -1, 6, 21}) {
    EXPECT_EQ(pool.StopTimer(index), 0);
    pool.RestartTimer(index);
    EXPECT_FALSE(pool.Busy(index));
  }
  EXPECT_TRUE(pool.Busy(1));
  EXPECT_TRUE(T(1).Enabled());
  // Restarting a free slot does not start its timer.
  pool.RestartTimer(2);
  EXPECT_FALSE(T(2).Enabled());
  EXPECT_FALSE(pool.Busy(2));
  EXPECT_EQ(pool.StopTimer(2), 0);
  EXPECT_EQ(Run(100), Codes{1});
}

TEST_F(Pool, ExpiryOfADisabledTimerIsNotPosted) {
  const std::int32_t a = pool.StartTimer(100);
  pool.StopTimer(a);
  // An expiry that was already on its way when the timer was stopped.
  Expired(T(a));
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(Run(300), Codes{});
}

TEST_F(Pool, IntervalsBelowOneMillisecondRunAsOne) {
  const std::int32_t a = pool.StartTimer(0);
  const std::int32_t b = pool.StartTimer(-5);
  EXPECT_EQ(T(a).Interval(), 1u);
  EXPECT_EQ(T(b).Interval(), 1u);
}

TEST(TimerPoolSize, EmptyPoolHandsOutNothingAndLargePoolsAreCut) {
  TimerPool empty;
  EXPECT_EQ(empty.StartTimer(100), 0);
  EXPECT_EQ(empty.StopTimer(1), 0);

  std::vector<std::unique_ptr<platform::Timer>> owned;
  std::vector<platform::Timer*> refs;
  for (int i = 0; i < 25; ++i) {
    owned.push_back(std::make_unique<platform::Timer>(nullptr, "T"));
    refs.push_back(owned.back().get());
  }
  TimerPool big;
  big.Init(refs);
  EXPECT_EQ(big.Count(), TimerPool::kMaxTimers);
  for (int i = 1; i <= TimerPool::kMaxTimers; ++i) EXPECT_EQ(big.StartTimer(10), i);
  EXPECT_EQ(big.StartTimer(10), TimerPool::kMaxTimers);
  EXPECT_EQ(big.TimerAt(21), nullptr);
  for (auto& t : owned) t->SetEnabled(false);

  // A pool of one always hands out its one slot.
  TimerPool one;
  one.Init({refs[0]});
  EXPECT_EQ(one.StartTimer(10), 1);
  EXPECT_EQ(one.StartTimer(20), 1);
  EXPECT_EQ(refs[0]->Interval(), 20u);
  refs[0]->SetEnabled(false);
}

}  // namespace
}  // namespace kernel
