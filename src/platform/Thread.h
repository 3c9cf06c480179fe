#pragma once
// The few thread primitives the port threads need, so that code outside the platform layer
// never touches the standard thread library directly.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

class Mutex {
 public:
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }

 private:
  friend class CondVar;
  std::mutex m_;
};

// Holds a Mutex for its scope.
class Guard {
 public:
  explicit Guard(Mutex& m) : m_(m) { m_.lock(); }
  ~Guard() { m_.unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  Mutex& m_;
};

// A condition variable over a Mutex the caller holds (through a Guard) while waiting.
class CondVar {
 public:
  void Wait(Mutex& m, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m.m_, std::adopt_lock);
    cv_.wait(lock, done);
    lock.release();
  }
  // False when ms passed without done() becoming true.
  bool WaitFor(Mutex& m, std::uint32_t ms, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m.m_, std::adopt_lock);
    bool r = cv_.wait_for(lock, std::chrono::milliseconds(ms), done);
    lock.release();
    return r;
  }
  void NotifyAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

// One thread running a function; Join waits for its end. Destroying a running thread joins it.
class Thread {
 public:
  Thread() = default;
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void Start(std::function<void()> body) {
    Join();
    t_ = std::thread(std::move(body));
  }
  void Join() {
    if (t_.joinable()) t_.join();
  }
  bool Running() const { return t_.joinable(); }

 private:
  std::thread t_;
};

// Blocks the calling thread for ms (a worker's fixed pause; the window's thread waits
// through its application instead).
inline void SleepFor(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace platform
