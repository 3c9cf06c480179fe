#include "kernel/Events.h"

#include <algorithm>
#include <array>

namespace kernel {

bool EventQueue::AddHandler(HandlerFn fn, void* owner) {
  if (fn == nullptr) return true;  // nothing callable to add
  const bool present = std::any_of(chain_.begin(), chain_.end(), [&](const EventHandler& h) {
    return h.fn == fn && h.owner == owner;
  });
  if (!present) chain_.push_back(EventHandler{fn, owner});
  return true;
}

bool EventQueue::RemoveHandler(HandlerFn fn, void* owner) {
  auto it = std::find_if(chain_.begin(), chain_.end(), [&](const EventHandler& h) {
    return h.fn == fn && h.owner == owner;
  });
  if (it == chain_.end()) return false;
  chain_.erase(it);
  return true;
}

void EventQueue::PostKey(std::int32_t key) { Post(Event{EvKey, 0, key, 0}); }

void EventQueue::PostNotify(std::int32_t code, std::intptr_t payload) {
  if (code == 0) return;
  Post(Event{EvNotify, 0, code, payload});
}

void EventQueue::PostTimer(std::int32_t index) {
  if (index == 0) return;
  Post(Event{EvTimer, 0, index, 0});
}

Event EventQueue::TakeEvent() {
  if (auto ev = store_.Read()) return *ev;
  return Event{};
}

Event EventQueue::DispatchEvent(Event ev) {
  // Handlers may add or remove entries while they run, so work on a copy of the chain. A few
  // entries are the rule; they are copied without allocating.
  constexpr std::size_t kInline = 16;
  std::array<EventHandler, kInline> inlineCopy;
  std::vector<EventHandler> heapCopy;
  const EventHandler* snapshot = inlineCopy.data();
  const std::size_t n = chain_.size();
  if (n <= kInline) {
    std::copy(chain_.begin(), chain_.end(), inlineCopy.begin());
  } else {
    heapCopy = chain_;
    snapshot = heapCopy.data();
  }
  for (std::size_t i = n; i-- > 0;) ev = snapshot[i].fn(snapshot[i].owner, *this, ev);
  return ev;
}

Event EventQueue::ConsumeEvent(Event) { return Event{}; }

void PumpEvents(EventQueue& queue, std::int32_t& pumpDepth,
                const std::function<void()>& processMessages) {
  constexpr std::int32_t kNestedRoundsPerPass = 10;
  for (;;) {
    Event ev = queue.TakeEvent();
    if (ev.kind != EvNone) queue.DispatchEvent(ev);
    ev = queue.TakeEvent();
    if (ev.kind == EvNone) return;
    queue.DispatchEvent(ev);
    if (pumpDepth == 0) {
      pumpDepth = 1;
      if (processMessages) processMessages();
      pumpDepth = 0;
    } else if (++pumpDepth > kNestedRoundsPerPass) {
      pumpDepth = 0;
    }
  }
}

}  // namespace kernel
