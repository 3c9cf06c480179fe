#include "platform/ExclusiveFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

bool ExclusiveFile::Open(const std::string& name, bool create) {
  Close();
  if (name.empty()) return false;
  std::string path = name;
  std::replace(path.begin(), path.end(), '\\', '/');
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

long ExclusiveFile::ReadAt(long offset, void* buffer, std::size_t n) {
  if (fd_ < 0) return -1;
  std::size_t got = 0;
  auto* p = static_cast<char*>(buffer);
  while (got < n) {
    ssize_t r = pread(fd_, p + got, n - got, offset + static_cast<long>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long>(got);
}

bool ExclusiveFile::WriteAt(long offset, const void* data, std::size_t n) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  const auto* p = static_cast<const char*>(data);
  while (done < n) {
    ssize_t r = pwrite(fd_, p + done, n - done, offset + static_cast<long>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

void ExclusiveFile::Close() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace platform
