#include "platform/ThreadMessages.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace platform {
namespace {

// As many as a thread's message queue holds before posts fail.
constexpr std::size_t kQueueLimit = 10000;

struct Queue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<ThreadMessage> items;
};

std::mutex gMutex;
std::map<unsigned long, std::shared_ptr<Queue>> gQueues;
unsigned long gNextId = 1;
thread_local unsigned long tId = 0;

std::shared_ptr<Queue> Find(unsigned long id) {
  std::lock_guard lock(gMutex);
  auto it = gQueues.find(id);
  return it == gQueues.end() ? nullptr : it->second;
}

}  // namespace

unsigned long CurrentThreadMessageId() {
  if (tId) return tId;
  std::lock_guard lock(gMutex);
  tId = gNextId++;
  gQueues[tId] = std::make_shared<Queue>();
  return tId;
}

bool PostThreadMessage(unsigned long threadId, std::uint32_t message, std::intptr_t wparam,
                       std::intptr_t lparam) {
  auto q = Find(threadId);
  if (!q) return false;
  std::lock_guard lock(q->m);
  if (q->items.size() >= kQueueLimit) return false;
  q->items.push_back({message, wparam, lparam});
  q->cv.notify_all();
  return true;
}

bool GetThreadMessage(ThreadMessage& out, std::uint32_t ms) {
  auto q = Find(CurrentThreadMessageId());
  if (!q) return false;
  std::unique_lock lock(q->m);
  if (!q->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !q->items.empty(); }))
    return false;
  out = q->items.front();
  q->items.pop_front();
  return true;
}

void ReleaseThreadMessageQueue() {
  if (!tId) return;
  std::lock_guard lock(gMutex);
  gQueues.erase(tId);
  tId = 0;
}

}  // namespace platform
