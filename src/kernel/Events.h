#pragma once
// The application's event queue: small event records posted by the window, the timers, the
// reply parser and the procedures, and a chain of handlers that receive them newest first.
// Everything here runs on the window's thread; nothing is locked.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <type_traits>
#include <vector>

#include "kernel/Bufferunit.h"

namespace kernel {

enum EventKind : std::int32_t { EvNone = 0, EvKey = 16, EvNotify = 256, EvTimer = 512 };

// kind 0 is the empty event. code: the key (EvKey), the notification (EvNotify) or the timer
// index (EvTimer). payload (EvNotify only): as a rule a pointer to a NUL-terminated text
// owned by the poster (not copied), or a small number; each code says which.
struct Event {
  std::int32_t kind = 0;
  std::int32_t param = 0;
  std::int32_t code = 0;
  std::intptr_t payload = 0;
};

class EventQueue;

// A handler gets its owner, the queue and the event; it returns the event unchanged to pass
// it on, or the empty event (EventQueue::ConsumeEvent) when the event was its own.
using HandlerFn = Event (*)(void* owner, EventQueue& sender, Event ev);

// One entry of the handler chain: a bound member function.
struct EventHandler {
  HandlerFn fn = nullptr;
  void* owner = nullptr;
};

namespace detail {
template <class M>
struct MemberOwner;
template <class T>
struct MemberOwner<Event (T::*)(EventQueue&, Event)> {
  using type = T;
};
template <auto Method>
struct BoundMember {
  static Event Call(void* owner, EventQueue& sender, Event ev) {
    using T = typename MemberOwner<decltype(Method)>::type;
    return (static_cast<T*>(owner)->*Method)(sender, ev);
  }
};
}  // namespace detail

// The handler function for a member `Event T::Method(EventQueue&, Event)`; register it with
// the object as owner: queue.AddHandler(kernel::Bind<&T::Method>(), this). The same member
// always gives the same function, so removal finds it again.
template <auto Method>
constexpr HandlerFn Bind() {
  return &detail::BoundMember<Method>::Call;
}

class EventQueue {
 public:
  EventQueue() = default;
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Appends at the tail of the chain unless (fn, owner) is already in it. Always true.
  bool AddHandler(HandlerFn fn, void* owner);
  // Unlinks the first entry with (fn, owner); false when there is none.
  bool RemoveHandler(HandlerFn fn, void* owner);
  std::size_t HandlerCount() const { return chain_.size(); }

  // Posting never blocks, never fails and never calls a handler.
  void PostKey(std::int32_t key);                                  // any key, 0 included
  void PostNotify(std::int32_t code, std::intptr_t payload = 0);   // code 0 posts nothing
  // A pointer payload (a template, so that a literal 0 still means the number).
  template <class T>
  void PostNotify(std::int32_t code, const T* payload) {
    PostNotify(code, reinterpret_cast<std::intptr_t>(static_cast<const void*>(payload)));
  }
  template <class N>
    requires std::is_null_pointer_v<N>
  void PostNotify(std::int32_t code, N) {
    PostNotify(code, std::intptr_t{0});
  }
  void PostTimer(std::int32_t index);                              // index 0 posts nothing

  // The oldest pending event; the empty event when none is pending.
  Event TakeEvent();
  std::size_t Pending() const { return store_.Size(); }

  // Runs ev through the chain, newest handler first, each getting what the one before
  // returned; a consumed event still reaches the rest as the empty event. The chain is read
  // before the first call: a handler removed meanwhile still gets this event, one added
  // meanwhile first gets the next. Returns what the last handler returned (ev itself when
  // the chain is empty).
  Event DispatchEvent(Event ev);

  static Event ConsumeEvent(Event ev);

 private:
  void Post(const Event& ev) { store_.Write(ev); }

  std::vector<EventHandler> chain_;  // head (oldest) first
  RingBuffer<Event> store_;
};

// The pump of the main window: takes and dispatches two events per round and between rounds
// lets the window's messages through (processMessages: one pass): at the outermost level
// after every round; in pumps nested inside that pass only once ten nested rounds have gone
// by, so that nesting stays bounded and the window still gets its turn. Returns as
// soon as a take finds the queue empty. pumpDepth is the window's counter, 0 at start-up.
void PumpEvents(EventQueue& queue, std::int32_t& pumpDepth,
                const std::function<void()>& processMessages);

}  // namespace kernel
