#pragma once
// lrzsz (Debian package lrzsz) as an independent XMODEM peer for tests: its sender "sx" run on
// a terminal device, and its receiver "rx -c" behind a pseudo-terminal that the sender under
// test opens like a serial port. No termios names in this header (they clash with BaudTag).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The path of an lrzsz program ("sx", "rx") when it is installed, else empty.
std::string LrzszProgram(const std::string& name);

struct TtyRunResult {
  int status = -1;  // exit status; -1 when it had to be killed or did not start
  bool timedOut = false;
  std::string messages;  // its standard error
};
// Runs argv (no shell) with standard input and output on the terminal device tty, in cwd
// (empty: the current folder); killed after timeoutMs.
TtyRunResult RunOnTty(const std::vector<std::string>& argv, const std::string& tty,
                      const std::string& cwd, int timeoutMs);

// lrzsz's XMODEM-CRC receiver "rx -c -b". The sender under test opens DevicePath(), the slave
// of a pseudo-terminal, as its serial port; a thread passes the bytes between its master and
// rx and keeps them. rx talks through a socket pair, not a terminal: when it ends it flushes its
// terminal, and on a pseudo-terminal that discards what the other side has not read yet, which
// would often be its ACK of the EOT. rx asks with 'C' as soon as it runs and again after its
// timeouts, so a sender that opens the port later is still served.
//
//   testsupport::XmodemReceiver rx;
//   ASSERT_TRUE(rx.Start(&error)) << error;
//   ... the sender opens rx.DevicePath(), sends the file with XMODEM-CRC ...
//   ASSERT_EQ(rx.Wait(30000), 0) << rx.Messages();
//   EXPECT_EQ(rx.Received(), file padded to whole packets with 0x1A);
class XmodemReceiver {
 public:
  struct Chunk {
    bool toReceiver;  // sender -> rx, else rx -> sender
    std::vector<std::uint8_t> bytes;
  };

  XmodemReceiver() = default;
  ~XmodemReceiver();
  XmodemReceiver(const XmodemReceiver&) = delete;
  XmodemReceiver& operator=(const XmodemReceiver&) = delete;

  // Starts rx; extraArgs go before the file name (e.g. {"-t", "30"}: timeouts of 3 s). False
  // with a reason when lrzsz is missing or no pseudo-terminal can be had.
  bool Start(std::string* error, const std::vector<std::string>& extraArgs = {});
  // The sender's side, e.g. "/dev/pts/7".
  const std::string& DevicePath() const { return senderPath_; }
  // Waits up to ms for rx to end; its exit status (0: a file was received), -1 while it runs.
  int Wait(int ms);
  // The file as rx wrote it (empty before anything came).
  std::vector<std::uint8_t> Received() const;
  // rx's standard error: its progress and complaints ("Sync Error", "Bad CRC", ...).
  std::string Messages() const;
  // Everything passed so far, chunk by chunk as read.
  std::vector<Chunk> Traffic() const;
  // The byte with this index (from 0) of the sender's stream reaches rx inverted, which rx
  // must refuse with NAK. Call before the sender starts.
  void CorruptToReceiver(std::uint64_t index);
  // The rate the sender set on its side of the line (0 when unknown).
  unsigned SenderBaud() const;

 private:
  void Pump();

  std::string dir_;
  std::string senderPath_;
  int senderMaster_ = -1, senderKeep_ = -1;
  int rxSocket_ = -1;  // our end of rx's standard input and output
  int pid_ = -1;
  int status_ = -1;
  std::thread pump_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Chunk> traffic_;
  std::set<std::uint64_t> corrupt_;
  std::uint64_t toReceiver_ = 0;
};

}  // namespace testsupport
