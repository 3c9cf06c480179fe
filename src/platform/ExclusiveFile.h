#pragma once
// A file opened for reading and writing and shared with nobody (a non-blocking exclusive
// flock): the port's configuration record file. '\' separates folders like '/'.
#include <cstddef>
#include <string>

namespace platform {

class ExclusiveFile {
 public:
  ExclusiveFile() = default;
  ~ExclusiveFile() { Close(); }
  ExclusiveFile(const ExclusiveFile&) = delete;
  ExclusiveFile& operator=(const ExclusiveFile&) = delete;

  // False when the file cannot be opened (missing without create, read-only, held by
  // another open).
  bool Open(const std::string& name, bool create);
  // Bytes read from offset (short at the end of the file), -1 on failure.
  long ReadAt(long offset, void* buffer, std::size_t n);
  // True when all n bytes were written at offset; the file is never truncated.
  bool WriteAt(long offset, const void* data, std::size_t n);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform
