// The XMODEM-CRC sender against an independent receiver: lrzsz's "rx -c" behind a
// pseudo-terminal takes the image that the sender's packets carry, at 115200 8N2, and must
// write a file equal to the padded image. Skipped when lrzsz is not installed.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "loaders/Xmodem.h"
#include "support/Lrzsz.h"

namespace loaderstest {
namespace {

namespace xm = loaders::xmodem;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + (i >> 8));
  return b;
}

// Runs the sender over the terminal until it ends or ms pass, as the procedure does: every read
// goes to the sender, an answer overdue by the packet answer time counts as silence.
xm::Sender::State Send(const xm::Image& image, const std::string& tty, int ms) {
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return xm::Sender::State::AwaitRequest;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag |= CSTOPB;
  tcsetattr(fd, TCSANOW, &t);
  xm::Sender sender(image.packets);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  auto apply = [&](const xm::Sender::Reaction& r) {
    if (r.send == xm::Sender::Send::Packet) {
      const xm::Packet p = xm::BuildPacket(image, r.packet);
      if (write(fd, p.data(), p.size()) != static_cast<ssize_t>(p.size())) ADD_FAILURE() << "short write";
    } else if (r.send == xm::Sender::Send::EndOfTransmission) {
      if (write(fd, xm::kEndOfTransmission.data(), 1) != 1) ADD_FAILURE() << "short write";
    }
  };
  while (!sender.Ended() && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(xm::Sender::kAnswerMs));
    if (ready == 0) {
      apply(sender.OnSilence());
      continue;
    }
    std::uint8_t buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) apply(sender.OnReceived(buf, static_cast<std::size_t>(n)));
  }
  close(fd);
  return sender.GetState();
}

TEST(XmodemSenderLrzsz, RxReceivesThePaddedImage) {
  if (testsupport::LrzszProgram("rx").empty()) GTEST_SKIP() << "lrzsz is not installed (no rx)";
  struct Case {
    const char* what;
    std::size_t file;
    std::uint64_t corrupt;  // index of a byte inverted on the way to rx; 0: none
  };
  // 40000 bytes make 313 packets: the packet number wraps past 255.
  for (const Case& c : {Case{"1000 bytes", 1000, 0}, Case{"313 packets", 40000, 0},
                        Case{"a damaged packet", 3000, 133 * 5 + 60}}) {
    SCOPED_TRACE(c.what);
    const xm::Image image = xm::PrepareImage(Pattern(c.file));
    testsupport::XmodemReceiver rx;
    std::string error;
    ASSERT_TRUE(rx.Start(&error)) << error;
    if (c.corrupt) rx.CorruptToReceiver(c.corrupt);
    EXPECT_EQ(Send(image, rx.DevicePath(), 60000), xm::Sender::State::Finished) << rx.Messages();
    ASSERT_EQ(rx.Wait(30000), 0) << rx.Messages();
    EXPECT_EQ(rx.Received(), image.bytes);
    EXPECT_EQ(rx.SenderBaud(), 115200u);
    int naks = 0;
    for (const auto& chunk : rx.Traffic())
      if (!chunk.toReceiver)
        for (std::uint8_t b : chunk.bytes) naks += b == xm::kNak;
    EXPECT_EQ(naks, c.corrupt ? 1 : 0) << rx.Messages();
  }
}

}  // namespace
}  // namespace loaderstest
