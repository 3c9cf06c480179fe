// Test-only LD_PRELOAD library: lets a program that drives the modem lines (a bootstrap
// loader entry sequence on RTS and DTR) run on a pseudo-terminal, which has no modem lines.
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC succeed on a pty and keep the line state here;
// tcsetattr on a pty reports success when the only refusal is the parity the pty drops.
// Every other call goes to the C library unchanged.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

int lines = TIOCM_DSR | TIOCM_CTS | TIOCM_CD;

// The slave side of a pseudo-terminal, by the name the descriptor leads to.
bool IsPty(int fd) {
  char link[64];
  char path[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  return std::strncmp(path, "/dev/pts/", 9) == 0;
}

}  // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept {
  using Real = int (*)(int, unsigned long, ...);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if ((request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) && IsPty(fd)) {
    int* bits = static_cast<int*>(arg);
    if (!bits) {
      errno = EFAULT;
      return -1;
    }
    switch (request) {
      case TIOCMGET: *bits = lines; break;
      case TIOCMSET: lines = *bits; break;
      case TIOCMBIS: lines |= *bits; break;
      case TIOCMBIC: lines &= ~*bits; break;
    }
    return 0;
  }
  return real(fd, request, arg);
}

int tcsetattr(int fd, int action, const struct termios* t) noexcept {
  using Real = int (*)(int, int, const struct termios*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  int r = real(fd, action, t);
  if (r != 0 && errno == EINVAL && IsPty(fd)) {
    // glibc compares what the driver kept; the pty dropped the parity and kept the rest.
    struct termios kept;
    if (tcgetattr(fd, &kept) == 0 && (kept.c_cflag & ~(PARENB | PARODD | CMSPAR)) ==
                                         (t->c_cflag & ~(PARENB | PARODD | CMSPAR)))
      return 0;
  }
  return r;
}

}  // extern "C"
