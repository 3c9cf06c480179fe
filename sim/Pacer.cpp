#include "sim/Pacer.h"

#include <algorithm>

namespace sim {

Pacer::Pacer(Deliver deliver) : deliver_(std::move(deliver)), thread_([this] { Run(); }) {}

Pacer::~Pacer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Pacer::Queue(std::vector<std::uint8_t> bytes, std::chrono::nanoseconds perByte,
                  Clock::time_point notBefore) {
  if (bytes.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back({std::move(bytes), perByte, notBefore, 0});
  }
  wake_.notify_all();
}

void Pacer::QueueLineError(unsigned bits, Clock::time_point at) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back({{}, std::chrono::nanoseconds(0), at, bits});
  }
  wake_.notify_all();
}

bool Pacer::Busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivering_ || !items_.empty();
}

bool Pacer::WaitIdle(std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(ms),
                        [this] { return !delivering_ && items_.empty(); });
}

void Pacer::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !items_.empty(); });
    if (stop_) return;
    Item item = std::move(items_.front());
    items_.pop_front();
    delivering_ = true;
    Clock::time_point start = std::max(item.notBefore, lineFree_);
    if (item.bytes.empty()) {
      if (wake_.wait_until(lock, start, [this] { return stop_; })) return;
      lock.unlock();
      deliver_({}, item.errorBits);
      lock.lock();
    } else {
      std::size_t sent = 0, n = item.bytes.size();
      while (sent < n) {
        // A byte is there when its last bit is; hand over what is due, at most every ms.
        Clock::time_point due = start + item.perByte * static_cast<long>(sent + 1);
        Clock::time_point wakeAt = std::max(due, Clock::now() + std::chrono::milliseconds(1));
        if (due > Clock::now() && wake_.wait_until(lock, wakeAt, [this] { return stop_; })) return;
        Clock::time_point now = Clock::now();
        std::size_t upTo = sent;
        while (upTo < n && start + item.perByte * static_cast<long>(upTo + 1) <= now) ++upTo;
        if (upTo == sent) upTo = sent + 1;
        std::vector<std::uint8_t> chunk(item.bytes.begin() + static_cast<long>(sent),
                                        item.bytes.begin() + static_cast<long>(upTo));
        sent = upTo;
        lock.unlock();
        deliver_(chunk, 0);
        lock.lock();
        if (stop_) return;
      }
      lineFree_ = start + item.perByte * static_cast<long>(n);
    }
    delivering_ = false;
    if (items_.empty()) idle_.notify_all();
  }
}

}  // namespace sim
