#include "PtyPair.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>


namespace comport_test {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return;
  grantpt(master_);
  unlockpt(master_);
  slave_ = ptsname(master_);
  keep_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  // The master reads raw; the slave's settings are the port's business.
  struct termios2 t;
  if (ioctl(keep_, TCGETS2, &t) == 0) {
    t.c_lflag = 0;
    t.c_iflag = 0;
    t.c_oflag = 0;
    ioctl(keep_, TCSETS2, &t);
  }
}

PtyPair::~PtyPair() { Hangup(); }

void PtyPair::Hangup() {
  if (keep_ >= 0) ::close(keep_);
  if (master_ >= 0) ::close(master_);
  keep_ = master_ = -1;
}

void PtyPair::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t r = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (r <= 0) break;
    done += static_cast<std::size_t>(r);
  }
}

std::string PtyPair::Read(std::size_t n, int ms) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r > 0) out.append(buf, static_cast<std::size_t>(r));
    else if (r < 0) ::usleep(1000);  // slave closed for a moment
  }
  return out;
}

unsigned PtyPair::Baud() {
  struct termios2 t;
  if (ioctl(master_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

void PtyPair::SetBaud(unsigned baud) {
  struct termios2 t;
  if (ioctl(master_, TCGETS2, &t) != 0) return;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_ospeed = t.c_ispeed = baud;
  ioctl(master_, TCSETS2, &t);
}

}  // namespace comport_test
