#pragma once
// A fake loopback line that records what the instrument emits, and helpers to talk to it.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Loopback.h"
#include "sim/ClassicLoader.h"
#include "sim/Instrument.h"

namespace simtest {

class FakeLine : public platform::LoopbackLine {
 public:
  void Emit(const std::uint8_t* data, std::size_t n) override { bytes.insert(bytes.end(), data, data + n); }
  void EmitLineError(unsigned bits) override { errors.push_back(bits); }
  platform::LineSettings HostLine() const override { return host; }

  std::string Text() const { return std::string(bytes.begin(), bytes.end()); }
  std::vector<std::uint8_t> Take() {
    std::vector<std::uint8_t> b;
    b.swap(bytes);
    return b;
  }
  std::string TakeText() {
    std::vector<std::uint8_t> b = Take();
    return std::string(b.begin(), b.end());
  }

  std::vector<std::uint8_t> bytes;
  std::vector<unsigned> errors;
  platform::LineSettings host;
};

inline platform::LineSettings Line(std::uint32_t baud, platform::Parity parity = platform::Parity::None) {
  platform::LineSettings s;
  s.baud = baud;
  s.parity = parity;
  return s;
}

// An instrument attached to a fake line; the host side sends at host settings.
struct Rig {
  explicit Rig(sim::InstrumentConfig config = {}) : instrument(std::move(config)) {
    instrument.Attach(&line);
    line.host = Line(instrument.ListeningBaud());
  }
  ~Rig() { instrument.Attach(nullptr); }
  void Send(const std::string& text) { Send(std::vector<std::uint8_t>(text.begin(), text.end())); }
  void Send(const std::vector<std::uint8_t>& bytes) {
    instrument.OnHostBytes(bytes.data(), bytes.size(), line.host);
  }
  std::string Ask(const std::string& command) {
    line.bytes.clear();
    Send(command + "\r\n");
    return line.TakeText();
  }
  // Loader side: 8E1 at the given rate.
  void LoaderLine(std::uint32_t baud = 9600) { line.host = Line(baud, platform::Parity::Even); }
  std::vector<std::uint8_t> Frame(std::uint8_t cmd, const std::vector<std::uint8_t>& data) {
    line.bytes.clear();
    Send(std::vector<std::uint8_t>{sim::BslSync});
    std::vector<std::uint8_t> ack = line.Take();
    if (ack != std::vector<std::uint8_t>{sim::BslAck}) return {0xEE};  // sync not answered
    Send(sim::BslFrame(cmd, data));
    return line.Take();
  }

  FakeLine line;
  sim::Instrument instrument;
};

}  // namespace simtest
