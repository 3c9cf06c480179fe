// The port object on pseudo-terminals, in real time.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "Fixture.h"
#include "PtyPair.h"
#include "comport/Comport.h"
#include "platform/SerialDevice.h"

using namespace comport;
using comport_test::PtyPair;
using comport_test::RecordingForm;

namespace {

std::uint32_t NowMs() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The main window's port: 8 data bits, 2 stop bits, 4800 baud, write time-outs 10000 + 1/byte,
// NUL bytes discarded, no read time-outs.
void MainWindowSettings(TComPort& port) {
  V24ParameterTag& r = port.GetV24Parameter();
  r.DatenBits = D_8;
  r.StopBits = S_2;
  r.Baudrate = B__4800;
  r.TXTimeOut = 10000;
  r.TXTimeOutproChar = 1;
  r.KeinNullZeichen = true;
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    platform::SetSerialPortMap("7=" + pty.SlavePath() + ",9=/dev/null");
  }
  bool WaitFor(std::size_t n, std::uint32_t ms = 2000) {
    return app.RunUntil([&] { return form.got.size() >= n; }, ms);
  }
  void Idle(std::uint32_t ms) {
    app.RunUntil([] { return false; }, ms);
  }
  platform::HeadlessApplication app;
  RecordingForm form;
  PtyPair pty;
};

}  // namespace

TEST_F(PtyPort, WriteArrivesWithTheConfiguredLine) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, true), InvalidPortHandle);
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_EQ(pty.Baud(), 4800u);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(port.Write(all.data(), 256, false), 256);
  EXPECT_EQ(pty.Read(256, 2000), all);
  // Live changes reach the driver; the far side reads the rate from its end.
  struct Case {
    BaudTag tag;
    unsigned baud;
  } rates[] = {{B__1200, 1200}, {B__9600, 9600}, {B115200, 115200}, {B128000, 128000},
               {B256000, 256000}};
  for (auto c : rates) {
    port.ChangeBaudrate(c.tag);
    EXPECT_EQ(pty.Baud(), c.baud);
    EXPECT_EQ(port.LoadV24Parameter().baud, c.baud);
  }
  // Parity is dropped by a pty, yet the port keeps working.
  port.ChangeV24Parameter(B__9600, S_1, Even, false);
  EXPECT_EQ(pty.Baud(), 9600u);
  EXPECT_EQ(port.Write("A.1111\r\n", -1, false), 8);
  EXPECT_EQ(pty.Read(8, 2000), "A.1111\r\n");
}

TEST_F(PtyPort, ReadReturnsWhatIsThereAtOnce) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  pty.Write(std::string("I.23#1\0\r\n", 9));
  ASSERT_TRUE(WaitFor(1));
  EXPECT_EQ(form.got[0].message, 34768u);
  EXPECT_EQ(form.got[0].wparam, 7);
  char buf[251];
  auto t0 = NowMs();
  EXPECT_EQ(port.Read(buf, 250), 8);  // the NUL was discarded
  EXPECT_LT(NowMs() - t0, 50u);
  EXPECT_STREQ(buf, "I.23#1\r\n");
  t0 = NowMs();
  EXPECT_EQ(port.Read(buf, 250), 0);
  EXPECT_LT(NowMs() - t0, 50u);
  EXPECT_EQ(buf[0], '\0');
}

TEST_F(PtyPort, ReadTimeoutsGapAndTotal) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  port.ChangeV24TimeOut(300, -1, 0, -1);
  char buf[64];
  // Nothing comes: the total time-out ends the read.
  auto t0 = NowMs();
  EXPECT_EQ(port.Read(buf, 10), 0);
  auto took = NowMs() - t0;
  EXPECT_GE(took, 295u);
  EXPECT_LT(took, 600u);
  // Bytes then silence: the 20 ms gap ends it long before the total.
  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.Write("abc");
  });
  t0 = NowMs();
  EXPECT_EQ(port.Read(buf, 10), 3);
  took = NowMs() - t0;
  far.join();
  EXPECT_GE(took, 45u);
  EXPECT_LT(took, 250u);
  // The count arriving ends it at once.
  pty.Write("0123456789");
  Idle(20);
  t0 = NowMs();
  EXPECT_EQ(port.Read(buf, 4), 4);
  EXPECT_LT(NowMs() - t0, 50u);
}

TEST_F(PtyPort, OneDataMessageForThreeBurstsThenAnotherAfterTheWatch) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  std::uint32_t third = 0;
  for (int burst = 0; burst < 3; ++burst) {
    pty.Write("burst" + std::to_string(burst));
    third = NowMs();
    Idle(150);
  }
  EXPECT_EQ(form.got.size(), 1u);
  ASSERT_TRUE(WaitFor(2, 7000));
  std::uint32_t later = form.got[1].at - third;
  EXPECT_EQ(form.got[1].message, 34768u);
  EXPECT_GE(later, 5000u);
  EXPECT_LE(later, 6000u);
  // Read clears the outstanding flag: new data is announced at once.
  char buf[64];
  EXPECT_EQ(port.Read(buf, 63), 18);
  form.got.clear();
  pty.Write("x");
  ASSERT_TRUE(WaitFor(1, 500));
  Idle(100);
  EXPECT_EQ(form.got.size(), 1u);
}

TEST_F(PtyPort, BackgroundWriteBusyUntilSent) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  port.GetV24Parameter().Handshake = XonXoff;
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  pty.Write("\x13");  // XOFF: the port's transmitter holds
  Idle(50);
  std::string block(2000, 'b');
  for (int i = 0; i < 2000; ++i) block[i] = static_cast<char>('a' + i % 26);
  auto t0 = NowMs();
  EXPECT_EQ(port.Write(block.data(), 2000, true), 2000);
  EXPECT_LT(NowMs() - t0, 50u);
  EXPECT_EQ(port.Write("second", -1, true), -1);
  EXPECT_EQ(port.Write("second", -1, false), -1);
  EXPECT_EQ(pty.Read(2000, 100), "");
  pty.Write("\x11");  // XON
  EXPECT_EQ(pty.Read(2000, 2000), block);
  Idle(50);
  EXPECT_EQ(port.Write("third", -1, true), 5);
  EXPECT_EQ(pty.Read(5, 2000), "third");
}

TEST_F(PtyPort, ShortWriteIsStickyUntilStatusIsRead) {
  TComPort port(nullptr);
  port.GetV24Parameter().Handshake = XonXoff;
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  port.ChangeV24TimeOut(-1, 200, -1, 0);
  pty.Write("\x13");
  Idle(50);
  auto t0 = NowMs();
  EXPECT_EQ(port.Write("held", -1, false), -100);
  EXPECT_GE(NowMs() - t0, 190u);
  pty.Write("\x11");
  Idle(50);
  EXPECT_EQ(port.Write("next", -1, false), -100);
  EXPECT_EQ(port.Write("next", -1, true), -100);
  bool* status = port.GetWriteStatus();
  ASSERT_NE(status, nullptr);
  EXPECT_FALSE(*status);
  EXPECT_EQ(port.Write("next", -1, false), 4);
  // The held bytes never left (the transmitter was stopped the whole time).
  EXPECT_EQ(pty.Read(8, 300), "next");
}

TEST_F(PtyPort, CloseSendsAPendingBackgroundWrite) {
  TComPort port(nullptr);
  port.GetV24Parameter().Handshake = XonXoff;
  port.GetV24Parameter().TXTimeOut = 5000;
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  pty.Write("\x13");
  Idle(50);
  std::string block(2000, 'z');
  ASSERT_EQ(port.Write(block.data(), 2000, true), 2000);
  std::string got;
  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty.Write("\x11");
    got = pty.Read(2000, 3000);
  });
  auto t0 = NowMs();
  port.Close();
  EXPECT_GE(NowMs() - t0, 250u);
  far.join();
  EXPECT_EQ(got, block);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(PtyPort, HeldPortIsListedButNotUsable) {
  TComPort first(nullptr);
  ASSERT_NE(first.Open(&form, 0, 6, false), InvalidPortHandle);
  TComPort second(nullptr);
  // /dev/null is not a serial device: not listed at all.
  ASSERT_EQ(second.GetMaxV24Devices(), 1);
  EXPECT_EQ(second.Get_DeviceV24(0), 6);
  EXPECT_EQ(second.GetMaxV24Useable(), 0);
  EXPECT_EQ(second.Open(&form, 0, 6, true), InvalidPortHandle);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].text, "COM7 konnte nicht ge\xF6" "ffnet werden!");
  EXPECT_EQ(second.Open(&form, 0, 8, false), InvalidPortHandle);
  first.Close();
  second.Check_AllV24();
  EXPECT_EQ(second.GetMaxV24Useable(), 1);
  EXPECT_NE(second.Open(&form, 0, 6, false), InvalidPortHandle);
}

TEST_F(PtyPort, ZanXonXoffFramesEveryWrite) {
  TComPort port(nullptr);
  port.GetV24Parameter().Handshake = ZAN_XonXoff;
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  EXPECT_EQ(port.Write("A.1000\r\n", -1, false), 10);
  EXPECT_EQ(pty.Read(10, 2000), "\x13" "A.1000\r\n\x11");
}

TEST_F(PtyPort, CloseRestoresTheLineAsFound) {
  pty.SetBaud(2400);
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  EXPECT_EQ(pty.Baud(), 4800u);
  EXPECT_EQ(port.SavedLineSettings().baud, 2400u);
  port.Close();
  EXPECT_EQ(pty.Baud(), 2400u);
  // A closed port can be opened again, with a fresh transmit error flag.
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  EXPECT_EQ(pty.Baud(), 4800u);
}

TEST_F(PtyPort, VanishedDeviceEndsTheThreadsWithoutSpinning) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  pty.Write("abc");
  ASSERT_TRUE(WaitFor(1));
  pty.Hangup();
  Idle(100);
  double cpu0 = CpuSeconds();
  Idle(500);
  EXPECT_LT(CpuSeconds() - cpu0, 0.1);
  char buf[16];
  long n = port.Read(buf, 15);
  // What was there may still be read once; then the port reports itself not open.
  if (n >= 0) n = port.Read(buf, 15);
  EXPECT_EQ(n, -10);
  EXPECT_EQ(port.Write("x", 1, false), -100);
  auto t0 = NowMs();
  port.Close();
  EXPECT_LT(NowMs() - t0, 500u);
}

TEST_F(PtyPort, UnreadDataDoesNotKeepTheReceiverAwake) {
  TComPort port(nullptr);
  MainWindowSettings(port);
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  pty.Write("unread");
  ASSERT_TRUE(WaitFor(1));
  double cpu0 = CpuSeconds();
  Idle(1000);
  EXPECT_LT(CpuSeconds() - cpu0, 0.05);
}
