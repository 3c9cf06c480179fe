#pragma once
// The far side of a pseudo-terminal for port tests: the test holds the master, the port
// under test opens the slave. No termios names in this header (they clash with BaudTag).
#include <cstdint>
#include <string>

namespace comport_test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_; }

  void Write(const std::string& bytes);
  // Reads until n bytes have come or ms passed.
  std::string Read(std::size_t n, int ms);
  // The slave's line settings as the far side sees them.
  unsigned Baud();
  // Puts the slave's speed to baud (before the port opens it).
  void SetBaud(unsigned baud);
  // The far side goes away: the master is closed.
  void Hangup();

 private:
  int master_ = -1;
  int keep_ = -1;  // a slave descriptor, so that the master does not see EIO between opens
  std::string slave_;
};

}  // namespace comport_test
