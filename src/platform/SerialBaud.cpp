// termios2 lives in the kernel's headers, which clash with <termios.h>; kept apart here.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform/SerialTermios.h"

namespace platform::detail {

bool SetCustomBaud(int fd, unsigned baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

unsigned GetActualBaud(int fd) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace platform::detail
