// The termios backend. Time-outs are kept by the device object and implemented with poll
// (not with VTIME); the receive wait uses edge-triggered epoll so
// that unread data in the driver does not wake it again and again.
#include "platform/SerialTermios.h"

#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

namespace platform::detail {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;
SteadyTime Now() { return std::chrono::steady_clock::now(); }
long long MsUntil(SteadyTime t) {
  auto d = std::chrono::duration_cast<std::chrono::microseconds>(t - Now()).count();
  return d <= 0 ? 0 : (d + 999) / 1000;
}

struct BaudCode {
  unsigned baud;
  speed_t code;
};
constexpr BaudCode kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

bool StandardCode(unsigned baud, speed_t& code) {
  for (const BaudCode& b : kBauds)
    if (b.baud == baud) {
      code = b.code;
      return true;
    }
  return false;
}

unsigned BaudOfCode(speed_t code) {
  for (const BaudCode& b : kBauds)
    if (b.code == code) return b.baud;
  return 0;
}

bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned maj = major(st.st_rdev);
  return maj >= 136 && maj <= 143;  // Unix98 pty slaves
}

unsigned BitsPerByte(const termios& t) {
  unsigned bits = 1 + ((t.c_cflag & CSIZE) == CS7 ? 7 : 8) + ((t.c_cflag & CSTOPB) ? 2 : 1);
  if (t.c_cflag & PARENB) ++bits;
  return bits;
}

class TermiosDevice : public SerialDevice {
 public:
  TermiosDevice(int com, std::string path, int fd, const termios& original)
      : SerialDevice(com, std::move(path)), fd_(fd), original_(original), pty_(IsPtySlave(fd)) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    abortFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd_;
    epoll_ctl(ep_, EPOLL_CTL_ADD, fd_, &ev);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wakeFd_;
    epoll_ctl(ep_, EPOLL_CTL_ADD, wakeFd_, &wake);
    haveCounts_ = ioctl(fd_, TIOCGICOUNT, &counts_) == 0;
    // What the line holds now, as the requested settings of fields a pty cannot carry.
    GetSettings(applied_);
  }

  ~TermiosDevice() override {
    // Put the tty back exactly as it was found, let others open it again, close.
    tcsetattr(fd_, TCSANOW, &original_);
    ioctl(fd_, TIOCNXCL);
    flock(fd_, LOCK_UN);
    ::close(fd_);
    ::close(ep_);
    ::close(wakeFd_);
    ::close(abortFd_);
  }

  bool GetSettings(LineSettings& out) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    LineSettings s;
    unsigned baud = GetActualBaud(fd_);
    s.baud = baud ? baud : BaudOfCode(cfgetospeed(&t));
    s.dataBits = (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
    if (!(t.c_cflag & PARENB))
      s.parity = Parity::None;
    else if (t.c_cflag & CMSPAR)
      s.parity = (t.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
    else
      s.parity = (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
    std::lock_guard lock(mutex_);
    if (t.c_cflag & CSTOPB)
      s.stopBits = applied_.stopBits == StopBits::OneHalf ? StopBits::OneHalf : StopBits::Two;
    else
      s.stopBits = StopBits::One;
    if (pty_) {
      // A pseudo-terminal keeps neither parity nor the character size; report what was set.
      s.parity = applied_.parity;
      s.dataBits = applied_.dataBits;
    }
    s.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
    s.outXonXoff = (t.c_iflag & IXON) != 0;
    s.discardNul = discardNul_;
    int bits = 0;
    if (ioctl(fd_, TIOCMGET, &bits) == 0) {
      s.dtr = (bits & TIOCM_DTR) != 0;
      s.rts = (bits & TIOCM_RTS) != 0;
    } else {
      s.dtr = applied_.dtr;
      s.rts = applied_.rts;
    }
    out = s;
    return true;
  }

  bool ApplySettings(const LineSettings& s) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    t.c_iflag = IGNBRK | (s.outXonXoff ? IXON : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (s.dataBits == 7 ? CS7 : CS8);
    if (s.stopBits != StopBits::One) t.c_cflag |= CSTOPB;  // 1.5 exists only with 5 bits
    switch (s.parity) {
      case Parity::None: break;
      case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
      case Parity::Even: t.c_cflag |= PARENB; break;
      case Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (s.ctsFlow) t.c_cflag |= CRTSCTS;
    // VMIN 1 makes an empty non-blocking read answer EAGAIN, so that end-of-file means a
    // hang-up; the time-outs themselves are ours.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    speed_t code = B38400;
    bool standard = StandardCode(s.baud, code);
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    // A pty drops parity and may answer EINVAL although the rest was applied.
    int rc = tcsetattr(fd_, TCSANOW, &t);
    bool ok = rc == 0 || errno == EINVAL;
    if (!standard) ok = SetCustomBaud(fd_, s.baud) && ok;
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    ioctl(fd_, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    ioctl(fd_, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
    std::lock_guard lock(mutex_);
    discardNul_ = s.discardNul;
    applied_ = s;
    return ok;
  }

  bool GetTimeouts(LineTimeouts& out) override {
    std::lock_guard lock(mutex_);
    out = timeouts_;
    return true;
  }

  bool ApplyTimeouts(const LineTimeouts& t) override {
    std::lock_guard lock(mutex_);
    timeouts_ = t;
    return true;
  }

  // One read of what the driver holds into p[got .. count): the bytes read (kept: those left
  // when NULs are dropped), 0 when nothing is there now, -1 when the device is gone.
  long ReadOnce(unsigned char* p, std::size_t got, std::size_t count, bool discard, std::size_t& kept) {
    kept = 0;
    for (;;) {
      ssize_t r;
      {
        std::lock_guard lock(countMutex_);
        r = ::read(fd_, p + got, count - got);
        if (r > 0) consumed_ += static_cast<unsigned long long>(r);
      }
      if (r > 0) {
        kept = static_cast<std::size_t>(r);
        if (discard) kept = static_cast<std::size_t>(std::remove(p + got, p + got + kept, 0) - (p + got));
        return static_cast<long>(r);
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EAGAIN) return 0;
      // A hung-up tty reads end-of-file; a pty whose far side closed reads EIO.
      hungUp_ = true;
      return -1;
    }
  }

  bool DiscardNul() {
    std::lock_guard lock(mutex_);
    return discardNul_;
  }

  long Read(void* buffer, std::size_t count) override {
    if (hungUp_) return -1;
    if (count == 0) return 0;
    LineTimeouts t;
    {
      std::lock_guard lock(mutex_);
      t = timeouts_;
    }
    const bool discard = DiscardNul();
    unsigned long long totalMs = t.readMultiplier || t.readConstant
                                     ? static_cast<unsigned long long>(t.readMultiplier) * count +
                                           t.readConstant
                                     : SerialDevice::kReadBound;
    SteadyTime deadline = Now() + std::chrono::milliseconds(totalMs);
    SteadyTime lastByte{};
    auto* p = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    for (;;) {
      std::size_t kept;
      long n = ReadOnce(p, got, count, discard, kept);
      if (n < 0) return got ? static_cast<long>(got) : -1;
      if (n > 0) {
        if (kept > 0) {
          got += kept;
          lastByte = Now();
        }
        if (got == count) return static_cast<long>(got);
        continue;
      }
      long long wait = MsUntil(deadline);
      if (got && t.readInterval)
        wait = std::min(wait, MsUntil(lastByte + std::chrono::milliseconds(t.readInterval)));
      if (wait <= 0) return static_cast<long>(got);
      pollfd pfd{fd_, POLLIN, 0};
      int pr = poll(&pfd, 1, static_cast<int>(wait));
      if (pr > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLIN)) {
        hungUp_ = true;
        return got ? static_cast<long>(got) : -1;
      }
    }
  }

  long ReadAvailable(void* buffer, std::size_t count) override {
    if (hungUp_) return -1;
    const bool discard = DiscardNul();
    auto* p = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < count) {
      std::size_t kept;
      long n = ReadOnce(p, got, count, discard, kept);
      if (n < 0) return got ? static_cast<long>(got) : -1;
      if (n == 0) break;
      got += kept;
    }
    return static_cast<long>(got);
  }

  long Write(const void* data, std::size_t n) override {
    if (hungUp_) return -1;
    LineTimeouts t;
    {
      std::lock_guard lock(mutex_);
      t = timeouts_;
    }
    bool limited = t.writeMultiplier || t.writeConstant;
    SteadyTime deadline =
        Now() + std::chrono::milliseconds(static_cast<unsigned long long>(t.writeMultiplier) * n +
                                          t.writeConstant);
    ClearAbort();
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < n) {
      ssize_t r = ::write(fd_, p + done, n - done);
      if (r > 0) {
        done += static_cast<std::size_t>(r);
        continue;
      }
      if (r < 0 && errno != EAGAIN && errno != EINTR) {
        hungUp_ = true;
        break;
      }
      long long wait = limited ? MsUntil(deadline) : -1;
      if (limited && wait <= 0) break;
      pollfd pfd[2] = {{fd_, POLLOUT, 0}, {abortFd_, POLLIN, 0}};
      int pr = poll(pfd, 2, static_cast<int>(wait));
      if (pr > 0 && (pfd[1].revents & POLLIN)) return kWriteAborted;
      if (pr > 0 && (pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        hungUp_ = true;
        break;
      }
    }
    if (done == 0 && hungUp_) return -1;
    // The write is complete when the bytes have left the driver, so that a change of line
    // settings right after it does not catch bytes still on their way out.
    int pending = 0;
    termios tio{};
    tcgetattr(fd_, &tio);
    unsigned baud = GetActualBaud(fd_);
    if (!baud) baud = 9600;
    while (!hungUp_ && ioctl(fd_, TIOCOUTQ, &pending) == 0 && pending > 0) {
      long long wait = limited ? MsUntil(deadline) : 1000;
      if (wait <= 0) break;
      long long need = static_cast<long long>(pending) * BitsPerByte(tio) * 1000 / baud;
      pollfd pfd{abortFd_, POLLIN, 0};
      int pr = poll(&pfd, 1, static_cast<int>(std::clamp(need, 1LL, wait)));
      if (pr > 0) return kWriteAborted;
      pending = 0;
    }
    long sent = static_cast<long>(done) - pending;
    return sent < 0 ? 0 : sent;
  }

  unsigned WaitEvent(std::uint32_t ms) override {
    if (hungUp_) return SerialEvHangup;
    epoll_event evs[2];
    int n = epoll_wait(ep_, evs, 2, static_cast<int>(ms));
    unsigned bits = 0;
    bool cancelled = false;
    for (int i = 0; i < n; ++i) {
      if (evs[i].data.fd == wakeFd_) {
        eventfd_t v;
        eventfd_read(wakeFd_, &v);
        cancelled = true;
      } else {
        if (evs[i].events & (EPOLLHUP | EPOLLERR)) {
          hungUp_ = true;
          bits |= SerialEvHangup;
        }
        if (evs[i].events & EPOLLIN) bits |= SerialEvData;
      }
    }
    if (cancelled) return bits & SerialEvHangup;
    // Readiness can be signalled twice for one arrival; only bytes that are new since the
    // last report count as an arrival.
    if (bits & SerialEvData) {
      unsigned long long received = Received();
      if (received == lastReported_)
        bits &= ~SerialEvData;
      else
        lastReported_ = received;
    }
    bits |= CheckCounters();
    return bits;
  }

  void CancelWait() override { eventfd_write(wakeFd_, 1); }

  unsigned TakeLineErrors() override {
    unsigned e = errors_;
    errors_ = 0;
    return e;
  }

  void ClearBreak() override { ioctl(fd_, TIOCCBRK); }

  bool Purge(unsigned flags) override {
    if (flags & PurgeTxAbort) eventfd_write(abortFd_, 1);
    bool ok = true;
    std::lock_guard lock(countMutex_);
    if (flags & PurgeRxClear) {
      int queued = 0;
      if (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0)
        consumed_ += static_cast<unsigned long long>(queued);
    }
    if ((flags & PurgeRxClear) && (flags & PurgeTxClear))
      ok = tcflush(fd_, TCIOFLUSH) == 0;
    else if (flags & PurgeRxClear)
      ok = tcflush(fd_, TCIFLUSH) == 0;
    else if (flags & PurgeTxClear)
      ok = tcflush(fd_, TCOFLUSH) == 0;
    return ok;
  }

  long InputQueue() override {
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
  }

  bool HungUp() override { return hungUp_; }

 private:
  // Every byte that ever arrived: what was taken out plus what waits in the driver.
  unsigned long long Received() {
    std::lock_guard lock(countMutex_);
    int queued = 0;
    if (ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
    return consumed_ + static_cast<unsigned long long>(queued);
  }

  void ClearAbort() {
    eventfd_t v;
    eventfd_read(abortFd_, &v);
  }

  // New line errors since the last look at the driver's counters (drivers without counters,
  // ptys among them, report none).
  unsigned CheckCounters() {
    if (!haveCounts_) return 0;
    serial_icounter_struct now {};
    if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return 0;
    unsigned e = 0;
    if (now.frame != counts_.frame) e |= LineErrFraming;
    if (now.overrun != counts_.overrun) e |= LineErrOverrun;
    if (now.parity != counts_.parity) e |= LineErrParity;
    if (now.brk != counts_.brk) e |= LineErrBreak;
    if (now.buf_overrun != counts_.buf_overrun) e |= LineErrRxOverflow;
    counts_ = now;
    if (!e) return 0;
    errors_ |= e;
    return SerialEvLineError;
  }

  int fd_;
  int wakeFd_ = -1, abortFd_ = -1, ep_ = -1;
  termios original_;
  bool pty_;
  std::mutex mutex_;
  LineTimeouts timeouts_;
  LineSettings applied_;
  bool discardNul_ = false;
  std::atomic<bool> hungUp_{false};
  bool haveCounts_ = false;
  serial_icounter_struct counts_{};
  unsigned errors_ = 0;  // receive thread only
  std::mutex countMutex_;  // consumed_ and the reads that change it
  unsigned long long consumed_ = 0;
  unsigned long long lastReported_ = 0;  // receive thread only
};

// Who may not open the device, and how that user stands to the group that owns it.
void DescribePermission(const std::string& path, SerialOpenResult& r) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  const gid_t gid = st.st_gid;
  if (group* g = getgrgid(gid))
    r.group = g->gr_name;
  else
    r.group = std::to_string(gid);
  const uid_t uid = geteuid();
  gid_t primary = getegid();
  if (passwd* pw = getpwuid(uid)) {
    r.user = pw->pw_name;
    primary = pw->pw_gid;
    // The groups the user database gives the user now (what a new login session gets).
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (getgrouplist(r.user.c_str(), primary, groups.data(), &n) < 0 && n > 64) {
      groups.resize(static_cast<std::size_t>(n));
      getgrouplist(r.user.c_str(), primary, groups.data(), &n);
    }
    groups.resize(static_cast<std::size_t>(std::max(n, 0)));
    r.userInGroup = std::find(groups.begin(), groups.end(), gid) != groups.end();
  } else {
    r.user = std::to_string(uid);
  }
  // The groups this program runs with.
  int n = getgroups(0, nullptr);
  std::vector<gid_t> own(static_cast<std::size_t>(std::max(n, 0)));
  if (n > 0) n = getgroups(n, own.data());
  own.resize(static_cast<std::size_t>(std::max(n, 0)));
  r.sessionHasGroup = getegid() == gid || std::find(own.begin(), own.end(), gid) != own.end();
}

// The processes (other than this one) that have the device open: every descriptor under
// /proc/<pid>/fd that leads to the same device. Processes whose descriptors this user may
// not look at are passed over.
std::vector<std::pair<int, std::string>> HoldersOf(const std::string& path) {
  std::vector<std::pair<int, std::string>> out;
  struct stat dev {};
  if (stat(path.c_str(), &dev) != 0 || !S_ISCHR(dev.st_mode)) return out;
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (!proc) return out;
  constexpr std::size_t kMaxHolders = 8;
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*e->d_name == '\0' || *end != '\0' || pid <= 0 || pid == self) continue;
    const std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;
    bool holds = false;
    while (dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      struct stat st {};
      if (stat((fdDir + "/" + f->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == dev.st_rdev) {
        holds = true;
        break;
      }
    }
    closedir(fds);
    if (!holds) continue;
    std::string name;
    std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
    std::getline(comm, name);
    out.emplace_back(static_cast<int>(pid), name.empty() ? "?" : name);
    if (out.size() >= kMaxHolders) break;
  }
  closedir(proc);
  std::sort(out.begin(), out.end());
  return out;
}

// The shared part of open and probe: the descriptor, or the failure. Only a failure that is
// reported (not a probe) looks for the reasons behind it.
int OpenExclusive(const std::string& path, SerialOpenResult& r, bool describe) {
  r.path = path;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    r.sysError = errno;
    switch (errno) {
      case EACCES:
      case EPERM:
        r.error = SerialOpenError::Permission;
        if (describe) DescribePermission(path, r);
        break;
      case EBUSY:
        r.error = SerialOpenError::Busy;
        if (describe) r.holders = HoldersOf(path);
        break;
      case ENOENT:
      case ENODEV:
      case ENXIO:
      case ENOTDIR:
      case EIO: r.error = SerialOpenError::NotFound; break;
      default: r.error = SerialOpenError::Other; break;
    }
    return -1;
  }
  if (!isatty(fd)) {
    ::close(fd);
    r.error = SerialOpenError::NotFound;
    r.sysError = ENOTTY;
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    r.sysError = errno;
    ::close(fd);
    r.error = SerialOpenError::Busy;
    if (describe) r.holders = HoldersOf(path);
    return -1;
  }
  ioctl(fd, TIOCEXCL);
  return fd;
}

unsigned NumberSuffix(const std::string& path, std::size_t prefixLen) {
  return static_cast<unsigned>(std::strtoul(path.c_str() + prefixLen, nullptr, 10));
}

std::vector<std::string> GlobSorted(const char* pattern, std::size_t prefixLen) {
  std::vector<std::string> out;
  glob_t g{};
  if (glob(pattern, 0, nullptr, &g) == 0)
    for (std::size_t i = 0; i < g.gl_pathc; ++i) out.emplace_back(g.gl_pathv[i]);
  globfree(&g);
  std::sort(out.begin(), out.end(), [prefixLen](const std::string& a, const std::string& b) {
    return NumberSuffix(a, prefixLen) < NumberSuffix(b, prefixLen);
  });
  return out;
}

// A ttyS with a UART behind it: the kernel names its type (0 is "unknown", no hardware).
bool HasUart(const std::string& devPath) {
  std::string name = devPath.substr(devPath.rfind('/') + 1);
  std::ifstream f("/sys/class/tty/" + name + "/type");
  int type = 0;
  return (f >> type) && type != 0;
}

}  // namespace

SerialOpenResult OpenTermios(int comNumber, const std::string& path) {
  SerialOpenResult r;
  int fd = OpenExclusive(path, r, true);
  if (fd < 0) return r;
  termios original{};
  tcgetattr(fd, &original);
  r.device = std::make_unique<TermiosDevice>(comNumber, path, fd, original);
  r.error = SerialOpenError::None;
  return r;
}

SerialProbe ProbeTermios(const std::string& path) {
  SerialOpenResult r;
  int fd = OpenExclusive(path, r, false);
  if (fd >= 0) {
    ioctl(fd, TIOCNXCL);
    ::close(fd);
    return SerialProbe::Usable;
  }
  switch (r.error) {
    case SerialOpenError::Busy:
    case SerialOpenError::Permission: return SerialProbe::Busy;
    default: return SerialProbe::Missing;
  }
}

std::vector<std::string> EnumerateSerialHardware() {
  std::vector<std::string> out = GlobSorted("/dev/ttyUSB*", 11);
  for (auto& p : GlobSorted("/dev/ttyACM*", 11)) out.push_back(p);
  for (auto& p : GlobSorted("/dev/ttyS*", 9))
    if (HasUart(p)) out.push_back(p);
  return out;
}

}  // namespace platform::detail
