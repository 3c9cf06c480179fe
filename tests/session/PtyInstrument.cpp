#include "PtyInstrument.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace sessiontest {

namespace {
std::uint32_t BaudOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}
}  // namespace

PtyInstrument::PtyInstrument(sim::InstrumentConfig config) : instrument(std::move(config)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) close(master_);
    master_ = -1;
    return;
  }
  slave_ = ptsname(master_);
  termios t{};
  tcgetattr(master_, &t);
  cfmakeraw(&t);
  tcsetattr(master_, TCSANOW, &t);
  keep_ = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  instrument.SetSinks(
      [this](const std::uint8_t* data, std::size_t n) {
        while (n > 0) {
          ssize_t w = write(master_, data, n);
          if (w <= 0) return;
          data += w;
          n -= static_cast<std::size_t>(w);
        }
      },
      nullptr);
  thread_ = std::thread([this] { Serve(); });
}

PtyInstrument::~PtyInstrument() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  instrument.SetSinks(nullptr, nullptr);
  if (keep_ >= 0) close(keep_);
  if (master_ >= 0) close(master_);
}

platform::LineSettings PtyInstrument::HostLine() const {
  platform::LineSettings line;
  termios t{};
  if (master_ < 0 || tcgetattr(master_, &t) != 0) return line;
  line.baud = BaudOf(cfgetospeed(&t));
  line.dataBits = (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
  line.parity = !(t.c_cflag & PARENB) ? platform::Parity::None
                : (t.c_cflag & PARODD) ? platform::Parity::Odd
                                       : platform::Parity::Even;
  line.stopBits = (t.c_cflag & CSTOPB) ? platform::StopBits::Two : platform::StopBits::One;
  return line;
}

void PtyInstrument::Serve() {
  platform::LineSettings last = HostLine();
  std::uint8_t buf[4096];
  while (!stop_) {
    platform::LineSettings line = HostLine();
    if (!(line == last)) {
      last = line;
      instrument.OnHostLineChanged(line);
    }
    instrument.Tick();
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) instrument.OnHostBytes(buf, static_cast<std::size_t>(n), HostLine());
    }
  }
}

}  // namespace sessiontest
