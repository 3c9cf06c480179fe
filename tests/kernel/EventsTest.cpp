#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "kernel/Bufferunit.h"
#include "kernel/Events.h"

namespace kernel {
namespace {

// A handler that writes "name:kind" for every event it receives and optionally consumes.
struct Recorder {
  std::string name;
  std::vector<std::string>* log;
  bool consume = false;
  std::function<void(EventQueue&)> onEvent;

  Event Handle(EventQueue& sender, Event ev) {
    log->push_back(name + ":" + std::to_string(ev.kind));
    if (onEvent) onEvent(sender);
    if (consume && ev.kind != EvNone) return EventQueue::ConsumeEvent(ev);
    return ev;
  }
};

constexpr HandlerFn kRecord = Bind<&Recorder::Handle>();

using Log = std::vector<std::string>;

TEST(EventQueue, TakeFromEmptyGivesEmptyEventAndChangesNothing) {
  EventQueue q;
  Event ev = q.TakeEvent();
  EXPECT_EQ(ev.kind, EvNone);
  EXPECT_EQ(ev.code, 0);
  EXPECT_EQ(q.Pending(), 0u);
  q.PostKey(13);
  ev = q.TakeEvent();
  EXPECT_EQ(ev.kind, EvKey);
  EXPECT_EQ(ev.code, 13);
  EXPECT_EQ(q.TakeEvent().kind, EvNone);
}

TEST(EventQueue, PostingBuildsTheRecordsAndSkipsZeroCodes) {
  EventQueue q;
  const char text[] = "!";
  q.PostKey(0);
  q.PostNotify(0, 99);
  q.PostTimer(0);
  q.PostNotify(10010, text);
  q.PostNotify(10042, std::intptr_t{7});
  q.PostTimer(3);
  q.PostNotify(10044, 0);
  q.PostNotify(10045, nullptr);
  ASSERT_EQ(q.Pending(), 6u);

  Event ev = q.TakeEvent();
  EXPECT_EQ(ev.kind, EvKey);
  EXPECT_EQ(ev.code, 0);
  ev = q.TakeEvent();
  EXPECT_EQ(ev.kind, EvNotify);
  EXPECT_EQ(ev.param, 0);
  EXPECT_EQ(ev.code, 10010);
  EXPECT_EQ(reinterpret_cast<const char*>(ev.payload), text);
  ev = q.TakeEvent();
  EXPECT_EQ(ev.code, 10042);
  EXPECT_EQ(ev.payload, 7);
  ev = q.TakeEvent();
  EXPECT_EQ(ev.kind, EvTimer);
  EXPECT_EQ(ev.code, 3);
  EXPECT_EQ(ev.payload, 0);
  for (std::int32_t code : {10044, 10045}) {
    ev = q.TakeEvent();
    EXPECT_EQ(ev.code, code);
    EXPECT_EQ(ev.payload, 0);
  }
}

TEST(EventQueue, MorePendingEventsThanTheStoreHoldsAreAllKeptInOrder) {
  for (int count : {50, 51, 137}) {
    EventQueue q;
    for (int i = 1; i <= count; ++i) q.PostNotify(i, std::intptr_t{i * 10});
    ASSERT_EQ(q.Pending(), static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
      Event ev = q.TakeEvent();
      ASSERT_EQ(ev.code, i) << "count " << count;
      ASSERT_EQ(ev.payload, i * 10);
    }
    EXPECT_EQ(q.TakeEvent().kind, EvNone);
  }
}

TEST(EventQueue, StoreGrowsWhileWrappedWithoutLosingOrder) {
  // Move the positions so that the store is wrapped when it fills up.
  EventQueue q;
  int next = 1, expect = 1;
  for (int i = 0; i < 40; ++i) q.PostTimer(next++);
  for (int i = 0; i < 30; ++i) ASSERT_EQ(q.TakeEvent().code, expect++);
  for (int i = 0; i < 75; ++i) q.PostTimer(next++);
  while (q.Pending() > 0) ASSERT_EQ(q.TakeEvent().code, expect++);
  EXPECT_EQ(expect, next);
}

TEST(RingBuffer, BehavesAsAQueueUnderMixedWritesAndReads) {
  RingBuffer<int> ring(3);
  std::deque<int> model;
  unsigned seed = 12345;
  int value = 0;
  for (int step = 0; step < 5000; ++step) {
    seed = seed * 1103515245u + 12345u;
    const bool write = ((seed >> 16) % 5) < 3 || model.empty();
    if (write) {
      ring.Write(++value);
      model.push_back(value);
    } else {
      auto got = ring.Read();
      ASSERT_TRUE(got.has_value());
      ASSERT_EQ(*got, model.front()) << "step " << step;
      model.pop_front();
    }
    ASSERT_EQ(ring.Size(), model.size());
  }
  while (!model.empty()) {
    ASSERT_EQ(ring.Read().value(), model.front());
    model.pop_front();
  }
  EXPECT_FALSE(ring.Read().has_value());
}

class Chain : public ::testing::Test {
 protected:
  Log log;
  Recorder h1{"H1", &log}, h2{"H2", &log}, h3{"H3", &log}, h4{"H4", &log};
  EventQueue q;

  void AddAll() {
    q.AddHandler(kRecord, &h1);
    q.AddHandler(kRecord, &h2);
    q.AddHandler(kRecord, &h3);
  }
  Event Notify(std::int32_t code) { return Event{EvNotify, 0, code, 0}; }
};

TEST_F(Chain, NewestHandlerFirstAndConsumedEventsGoOnAsEmpty) {
  AddAll();
  Event out = q.DispatchEvent(Notify(10010));
  EXPECT_EQ(log, (Log{"H3:256", "H2:256", "H1:256"}));
  EXPECT_EQ(out.code, 10010);

  log.clear();
  h2.consume = true;
  out = q.DispatchEvent(Notify(10010));
  EXPECT_EQ(log, (Log{"H3:256", "H2:256", "H1:0"}));
  EXPECT_EQ(out.kind, EvNone);
  EXPECT_EQ(out.code, 0);
}

TEST_F(Chain, EmptyChainReturnsTheEventItself) {
  Event out = q.DispatchEvent(Event{EvTimer, 0, 2, 0});
  EXPECT_EQ(out.kind, EvTimer);
  EXPECT_EQ(out.code, 2);
}

TEST_F(Chain, DuplicatesAreAddedOnceButOtherOwnersAgain) {
  EXPECT_TRUE(q.AddHandler(kRecord, &h1));
  EXPECT_TRUE(q.AddHandler(kRecord, &h1));
  EXPECT_EQ(q.HandlerCount(), 1u);
  EXPECT_TRUE(q.AddHandler(kRecord, &h2));
  EXPECT_EQ(q.HandlerCount(), 2u);
  q.DispatchEvent(Notify(1));
  EXPECT_EQ(log, (Log{"H2:256", "H1:256"}));
}

TEST_F(Chain, RemovingAnyEntryKeepsTheOthersInOrder) {
  struct Case {
    Recorder* removed;
    Log expected;
  };
  const std::vector<Case> cases = {
      {&h1, {"H3:256", "H2:256"}},
      {&h2, {"H3:256", "H1:256"}},
      {&h3, {"H2:256", "H1:256"}},
  };
  for (const Case& c : cases) {
    EventQueue queue;
    queue.AddHandler(kRecord, &h1);
    queue.AddHandler(kRecord, &h2);
    queue.AddHandler(kRecord, &h3);
    EXPECT_TRUE(queue.RemoveHandler(kRecord, c.removed));
    EXPECT_FALSE(queue.RemoveHandler(kRecord, c.removed));
    log.clear();
    queue.DispatchEvent(Notify(1));
    EXPECT_EQ(log, c.expected) << c.removed->name;
  }
}

TEST_F(Chain, RemovingWhatIsNotRegisteredFailsAndChangesNothing) {
  EXPECT_FALSE(q.RemoveHandler(kRecord, &h1));
  q.AddHandler(kRecord, &h1);
  EXPECT_FALSE(q.RemoveHandler(kRecord, &h2));
  EXPECT_EQ(q.HandlerCount(), 1u);
}

TEST_F(Chain, HandlerRemovedDuringDispatchStillGetsThatEventButNotTheNext) {
  AddAll();
  h3.onEvent = [this](EventQueue& sender) { sender.RemoveHandler(kRecord, &h2); };
  q.DispatchEvent(Notify(1));
  EXPECT_EQ(log, (Log{"H3:256", "H2:256", "H1:256"}));
  log.clear();
  h3.onEvent = nullptr;
  q.DispatchEvent(Notify(2));
  EXPECT_EQ(log, (Log{"H3:256", "H1:256"}));
}

TEST_F(Chain, HandlerRemovingItselfFinishesTheDispatch) {
  AddAll();
  h2.onEvent = [this](EventQueue& sender) { sender.RemoveHandler(kRecord, &h2); };
  q.DispatchEvent(Notify(1));
  EXPECT_EQ(log, (Log{"H3:256", "H2:256", "H1:256"}));
  EXPECT_EQ(q.HandlerCount(), 2u);
}

TEST_F(Chain, HandlerAddedDuringDispatchFirstGetsTheNextEvent) {
  AddAll();
  h2.onEvent = [this](EventQueue& sender) { sender.AddHandler(kRecord, &h4); };
  q.DispatchEvent(Notify(1));
  EXPECT_EQ(log, (Log{"H3:256", "H2:256", "H1:256"}));
  log.clear();
  h2.onEvent = nullptr;
  q.DispatchEvent(Notify(2));
  EXPECT_EQ(log, (Log{"H4:256", "H3:256", "H2:256", "H1:256"}));
}

TEST_F(Chain, LongChainsAreDispatchedCompletely) {
  std::vector<Recorder> many;
  many.reserve(40);
  for (int i = 0; i < 40; ++i) many.push_back(Recorder{"R" + std::to_string(i), &log});
  for (Recorder& r : many) q.AddHandler(kRecord, &r);
  // The newest one removes the oldest: it is still called this time.
  many.back().onEvent = [&](EventQueue& sender) { sender.RemoveHandler(kRecord, &many.front()); };
  q.DispatchEvent(Notify(1));
  ASSERT_EQ(log.size(), 40u);
  EXPECT_EQ(log.front(), "R39:256");
  EXPECT_EQ(log.back(), "R0:256");
  EXPECT_EQ(q.HandlerCount(), 39u);
}

TEST_F(Chain, TextPayloadIsNotCopied) {
  char buffer[16];
  std::vector<std::string> seen;
  struct Reader {
    std::vector<std::string>* seen;
    Event Handle(EventQueue&, Event ev) {
      if (ev.kind == EvNotify) seen->push_back(reinterpret_cast<const char*>(ev.payload));
      return ev;
    }
  } reader{&seen};
  q.AddHandler(Bind<&Reader::Handle>(), &reader);

  std::strcpy(buffer, "first");
  q.PostNotify(10000, buffer);
  std::strcpy(buffer, "second");
  q.PostNotify(10000, buffer);
  std::int32_t depth = 0;
  PumpEvents(q, depth, [] {});
  EXPECT_EQ(seen, (std::vector<std::string>{"second", "second"}));
}

class Pump : public Chain {
 protected:
  std::int32_t depth = 0;
  int passes = 0;
  std::vector<std::size_t> pendingAtPass;
  std::vector<std::int32_t> depthAtPass;
  std::function<void()> Messages() {
    return [this] {
      ++passes;
      pendingAtPass.push_back(q.Pending());
      depthAtPass.push_back(depth);
    };
  }
};

TEST_F(Pump, ReturnsAtOnceOnAnEmptyQueue) {
  AddAll();
  PumpEvents(q, depth, Messages());
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(passes, 0);
  EXPECT_EQ(depth, 0);
}

TEST_F(Pump, DrainsAllPendingEventsTwoPerRound) {
  q.AddHandler(kRecord, &h1);
  for (int i = 1; i <= 5; ++i) q.PostTimer(i);
  PumpEvents(q, depth, Messages());
  EXPECT_EQ(log.size(), 5u);
  EXPECT_EQ(q.Pending(), 0u);
  // Window messages after rounds one and two; the third round ends on the empty take.
  EXPECT_EQ(pendingAtPass, (std::vector<std::size_t>{3, 1}));
  EXPECT_EQ(depthAtPass, (std::vector<std::int32_t>{1, 1}));
  EXPECT_EQ(depth, 0);
}

TEST_F(Pump, EventsPostedByHandlersAreDispatchedInTheSameCall) {
  std::vector<std::int32_t> codes;
  struct Chainer {
    std::vector<std::int32_t>* codes;
    Event Handle(EventQueue& sender, Event ev) {
      codes->push_back(ev.code);
      if (ev.code < 4) sender.PostNotify(ev.code + 1);
      return ev;
    }
  } chainer{&codes};
  q.AddHandler(Bind<&Chainer::Handle>(), &chainer);
  q.PostNotify(1);
  PumpEvents(q, depth, Messages());
  EXPECT_EQ(codes, (std::vector<std::int32_t>{1, 2, 3, 4}));
}

TEST_F(Pump, NestedPumpLetsMessagesThroughOnlyAfterTenRounds) {
  q.AddHandler(kRecord, &h1);
  for (int i = 1; i <= 24; ++i) q.PostNotify(i);
  depth = 1;  // as inside the outer pump's message pass
  PumpEvents(q, depth, Messages());
  EXPECT_EQ(log.size(), 24u);
  // Rounds 1 to 10 only count; rounds 11 and 12 find the counter reset and pass messages.
  EXPECT_EQ(pendingAtPass, (std::vector<std::size_t>{2, 0}));
  EXPECT_EQ(depth, 0);
}

TEST_F(Pump, NestedPumpInsideTheMessagePassLeavesTheCounterToTheOuterPump) {
  q.AddHandler(kRecord, &h1);
  q.PostNotify(1);
  q.PostNotify(2);
  std::vector<std::int32_t> nestedDepth;
  bool nestedOnce = false;
  std::function<void()> messages = [&] {
    if (nestedOnce) return;
    nestedOnce = true;
    // A window message turns into events and pumps them, as the window's handlers do.
    q.PostNotify(3);
    q.PostNotify(4);
    PumpEvents(q, depth, messages);
    nestedDepth.push_back(depth);
  };
  PumpEvents(q, depth, messages);
  EXPECT_EQ(log, (Log{"H1:256", "H1:256", "H1:256", "H1:256"}));
  EXPECT_EQ(nestedDepth, (std::vector<std::int32_t>{2}));
  EXPECT_EQ(depth, 0);
}

}  // namespace
}  // namespace kernel
