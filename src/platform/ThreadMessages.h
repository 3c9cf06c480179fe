#pragma once
// Messages posted to a thread rather than a window: a port opened without a window posts
// its receive messages to a thread identifier. A thread gets its identifier (and its queue)
// with CurrentThreadMessageId and reads its messages with GetThreadMessage.
#include <cstdint>

namespace platform {

struct ThreadMessage {
  std::uint32_t message = 0;
  std::intptr_t wparam = 0;
  std::intptr_t lparam = 0;
};

// The calling thread's identifier (never 0); creates its queue on first use.
unsigned long CurrentThreadMessageId();
// Thread-safe. False when no thread has that identifier or its queue is full.
bool PostThreadMessage(unsigned long threadId, std::uint32_t message, std::intptr_t wparam,
                       std::intptr_t lparam);
// Takes the calling thread's next message, waiting up to ms; false when none came.
bool GetThreadMessage(ThreadMessage& out, std::uint32_t ms);
// Drops the calling thread's queue (posts to it fail from then on).
void ReleaseThreadMessageQueue();

}  // namespace platform
