#pragma once
// The far end of a loopback serial device: an in-process peer such as the simulated
// instrument. The device calls the peer with every byte the host writes, together with the
// line settings in force; the peer answers through the LoopbackLine it was attached to.
#include <cstddef>
#include <cstdint>

#include "platform/SerialTypes.h"

namespace platform {

class LoopbackLine {
 public:
  virtual ~LoopbackLine() = default;
  // Bytes from the peer to the host, as if they arrived on the wire now.
  virtual void Emit(const std::uint8_t* data, std::size_t n) = 0;
  // A line-error event (LineErrorBits; 0 means an event without an error bit).
  virtual void EmitLineError(unsigned bits) = 0;
  // The host's current line settings.
  virtual LineSettings HostLine() const = 0;
};

class LoopbackPeer {
 public:
  virtual ~LoopbackPeer() = default;
  virtual void Attach(LoopbackLine* line) = 0;  // null when the device goes away
  // Called on the thread that writes, in order.
  virtual void OnHostBytes(const std::uint8_t* data, std::size_t n, const LineSettings& line) = 0;
  virtual void OnHostLineChanged(const LineSettings& line) { (void)line; }
  // True while the peer still has work in hand that will end in Emit (virtual-time tests).
  virtual bool Busy() { return false; }
};

}  // namespace platform
