#pragma once
// Emission at the line rate: bytes leave one by one as a UART would send them, from a thread
// of its own, so that benchmarks and real-time runs see the wire's timing.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {

class Pacer {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the pacer's thread with bytes that have fully arrived, or with line-error bits.
  using Deliver = std::function<void(const std::vector<std::uint8_t>& bytes, unsigned errorBits)>;
  explicit Pacer(Deliver deliver);
  ~Pacer();
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;

  // The bytes go out back to back after everything queued before, not before notBefore.
  void Queue(std::vector<std::uint8_t> bytes, std::chrono::nanoseconds perByte,
             Clock::time_point notBefore);
  void QueueLineError(unsigned bits, Clock::time_point at);
  bool Busy();
  // Waits until everything queued has been delivered or ms have passed.
  bool WaitIdle(std::uint32_t ms);

 private:
  struct Item {
    std::vector<std::uint8_t> bytes;
    std::chrono::nanoseconds perByte;
    Clock::time_point notBefore;
    unsigned errorBits;
  };
  void Run();

  Deliver deliver_;
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Item> items_;
  bool delivering_ = false;
  bool stop_ = false;
  Clock::time_point lineFree_{};
  std::thread thread_;
};

}  // namespace sim
