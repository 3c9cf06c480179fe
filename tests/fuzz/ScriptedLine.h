#pragma once
// What the fuzz input makes of the instrument's side of the line, for a procedure run on the
// fake host: a script of answers, each sent when the host next writes or after a pause of
// its own (a loader that speaks first, late or unasked), as raw bytes, as a frame of the
// loader's protocol built around the bytes (so that reply frames with a valid checksum are
// reached), with a line error, or as the line going away. When the script ends the line is
// silent and the procedure ends through its own time limits; a run that never ends is a hang
// the fuzzer reports.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Components.h"
#include "platform/Loopback.h"
#include "platform/SerialLoopback.h"
#include "support/FakeHost.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

class ScriptedLine : public platform::LoopbackPeer {
 public:
  enum class How { Answer, Framed, Late, LineError, Gone };
  struct Item {
    How how = How::Answer;
    std::uint32_t delayMs = 0;
    Bytes bytes;
  };
  // frame: builds a protocol frame around bytes (empty function: raw bytes).
  ScriptedLine(FuzzedDataProvider& data, std::function<Bytes(const Bytes&)> frame, std::size_t maxItem = 64)
      : frame_(std::move(frame)) {
    while (data.remaining_bytes() > 0 && items_.size() < 400) {
      Item item;
      const std::uint8_t control = data.ConsumeIntegral<std::uint8_t>();
      switch (control & 7) {
        case 0: case 1: case 2: item.how = How::Answer; break;
        case 3: case 4: item.how = frame_ ? How::Framed : How::Answer; break;
        case 5: item.how = How::Late; break;
        case 6: item.how = How::LineError; break;
        default: item.how = (control & 0xF8) == 0xF8 ? How::Gone : How::Answer; break;
      }
      item.delayMs = static_cast<std::uint32_t>(control >> 3) * 400;
      item.bytes = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange<std::size_t>(0, maxItem));
      if (item.how == How::Framed) item.bytes = frame_(item.bytes);
      items_.push_back(std::move(item));
    }
  }

  void Attach(platform::LoopbackLine* line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    line_ = line;
  }
  void OnHostBytes(const std::uint8_t*, std::size_t, const platform::LineSettings&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++writes_;
    if (next_ < items_.size() && items_[next_].how != How::Late) Play(items_[next_++]);
    since_ = platform::HasApp() ? platform::App().GetClock().Milliseconds() : 0;
  }
  // Called on the window's thread by a periodic timer: a late answer whose pause is over.
  void Tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (next_ >= items_.size() || items_[next_].how != How::Late) return;
    if (platform::App().GetClock().Milliseconds() - since_ < items_[next_].delayMs) return;
    Play(items_[next_++]);
    since_ = platform::App().GetClock().Milliseconds();
  }
  bool Gone() const { return gone_; }
  int Writes() const { return writes_; }

 private:
  void Play(const Item& item) {
    if (!line_ || gone_) return;
    if (item.how == How::Gone) {
      gone_ = true;
      return;
    }
    if (!item.bytes.empty()) line_->Emit(item.bytes.data(), item.bytes.size());
    if (item.how == How::LineError) line_->EmitLineError(item.delayMs & 0x0F);
  }

  std::function<Bytes(const Bytes&)> frame_;
  std::vector<Item> items_;
  std::size_t next_ = 0;
  std::mutex mutex_;
  platform::LoopbackLine* line_ = nullptr;
  std::uint32_t since_ = 0;
  int writes_ = 0;
  bool gone_ = false;
};

// The line on COM1, the fake host with its port open on it, and the late answers' timer.
struct Bench {
  struct Registration {
    explicit Registration(platform::LoopbackPeer* peer) {
      platform::SetSerialPortMap(std::string());
      platform::RegisterLoopbackPort(1, peer);
    }
    ~Registration() {
      platform::UnregisterLoopbackPort(1);
      platform::SetSerialPortMap(std::nullopt);
    }
  };
  ScriptedLine line;
  Registration registration{&line};
  testsupport::FakeHost host;
  platform::Timer ticker{nullptr, "ScriptTicker"};

  Bench(FuzzedDataProvider& data, std::function<Bytes(const Bytes&)> frame, std::size_t maxItem = 64)
      : line(data, std::move(frame), maxItem) {
    ticker.SetInterval(200);
    ticker.OnTimer = [this](platform::Timer&) {
      line.Tick();
      if (line.Gone() && !hungUp_) {
        hungUp_ = true;
        platform::HangUpLoopbackPort(1);
      }
    };
    ticker.SetEnabled(true);
  }
  ~Bench() { ticker.SetEnabled(false); }

 private:
  bool hungUp_ = false;
};

// A fresh temporary package folder for the process, with the files a procedure reads.
std::string PackageFolder();
void WriteFile(const std::string& folder, const std::string& name, const std::string& bytes);

}  // namespace fuzz
