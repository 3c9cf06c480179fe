#pragma once
// Stands between the host's port and a simulated instrument and keeps every write with the
// line settings it crossed the line at, for tests of a dialogue's order and rates.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Application.h"
#include "platform/Loopback.h"
#include "sim/Instrument.h"

namespace testsupport {

class LineRecorder : public platform::LoopbackPeer {
 public:
  struct Write {
    std::string bytes;
    platform::LineSettings line;
  };
  explicit LineRecorder(sim::Instrument& instrument) : instrument_(instrument) {}
  // Each write takes this long on the writing thread (real time), as on a line: a background
  // write then keeps the port's transmit thread busy for a while.
  void SetWriteTime(std::chrono::milliseconds ms) { writeTime_ = ms; }
  void Attach(platform::LoopbackLine* line) override { instrument_.Attach(line); }
  void OnHostBytes(const std::uint8_t* d, std::size_t n, const platform::LineSettings& s) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes_.push_back({std::string(reinterpret_cast<const char*>(d), n), s});
    }
    if (writeTime_.count() > 0) std::this_thread::sleep_for(writeTime_);
    instrument_.OnHostBytes(d, n, s);
  }
  void OnHostLineChanged(const platform::LineSettings& s) override { instrument_.OnHostLineChanged(s); }
  bool Busy() override { return instrument_.Busy(); }

  std::vector<Write> Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  // Each write as the dialogue names it: a command up to its "#" or line end ("A.1300#38400"
  // keeps its rate), "D" for a packet, else the bytes.
  static std::string Name(const std::string& bytes) {
    if (bytes.rfind("D.", 0) == 0) return "D";
    std::string line = bytes.substr(0, bytes.find_first_of("\r\n"));
    if (line.rfind("A.1300#", 0) == 0) return line;
    return line.substr(0, line.find('#'));
  }

 private:
  sim::Instrument& instrument_;
  mutable std::mutex mutex_;
  std::vector<Write> writes_;
  std::chrono::milliseconds writeTime_{0};
};

}  // namespace testsupport
