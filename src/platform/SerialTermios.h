#pragma once
// The termios backend of SerialDevice: real serial ports and pseudo-terminals.
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

namespace platform::detail {

// Opens a tty exclusively: O_NOCTTY, a non-blocking flock (so another open of the same
// device, also in this process, fails) and TIOCEXCL.
SerialOpenResult OpenTermios(int comNumber, const std::string& path);
SerialProbe ProbeTermios(const std::string& path);
// /dev/ttyUSB*, /dev/ttyACM*, then the /dev/ttyS* that have a UART behind them.
std::vector<std::string> EnumerateSerialHardware();

// Baud rates that termios has no constant for (128000, 256000) go through termios2.
bool SetCustomBaud(int fd, unsigned baud);
// The output speed the driver reports (0 when unknown).
unsigned GetActualBaud(int fd);

}  // namespace platform::detail
