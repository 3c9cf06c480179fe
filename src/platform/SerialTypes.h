#pragma once
// Line settings and time-outs of a serial line, in the terms the port object works with.
// The termios backend maps them onto a real device; the loopback backend hands them to an
// in-process peer (the simulated instrument) so it can tell a wrong baud rate.
#include <cstdint>

namespace platform {

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneHalf, Two };

struct LineSettings {
  std::uint32_t baud = 9600;  // bit/s
  int dataBits = 8;           // 7 or 8
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;
  bool discardNul = false;    // received NUL bytes are dropped by the driver
  bool ctsFlow = false;       // transmit paused while CTS is inactive; RTS by buffer level
  bool outXonXoff = false;    // transmit paused by XOFF, resumed by XON
  bool dtr = false;           // DTR held active
  bool rts = true;            // RTS held active
  bool operator==(const LineSettings&) const = default;
};

struct LineTimeouts {
  std::uint32_t readInterval = 20;  // ms between two received bytes
  std::uint32_t readMultiplier = 0; // ms per requested byte
  std::uint32_t readConstant = 1;   // ms
  std::uint32_t writeMultiplier = 0;
  std::uint32_t writeConstant = 0;
  bool operator==(const LineTimeouts&) const = default;
};

// Line-error bits as a receive wait reports them.
enum LineErrorBits : unsigned {
  LineErrFraming = 1,
  LineErrOverrun = 2,
  LineErrParity = 4,
  LineErrBreak = 8,
  LineErrRxOverflow = 16,
};

}  // namespace platform
