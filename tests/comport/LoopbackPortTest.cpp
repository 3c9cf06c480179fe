// The port object over the loopback backend: quick, deterministic cases.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "Fixture.h"
#include "comport/Comport.h"
#include "platform/SerialLoopback.h"
#include "platform/ThreadMessages.h"

using namespace comport;
using comport_test::RecordingForm;
namespace fs = std::filesystem;

namespace {

class Peer : public platform::LoopbackPeer {
 public:
  void Attach(platform::LoopbackLine* l) override {
    std::lock_guard lock(m);
    line = l;
  }
  void OnHostBytes(const std::uint8_t* data, std::size_t n,
                   const platform::LineSettings& s) override {
    std::lock_guard lock(m);
    got.append(reinterpret_cast<const char*>(data), n);
    lastLine = s;
  }
  void OnHostLineChanged(const platform::LineSettings& s) override {
    std::lock_guard lock(m);
    lastLine = s;
  }
  void Emit(const std::string& s) {
    std::lock_guard lock(m);
    if (line) line->Emit(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  void Error(unsigned bits) {
    std::lock_guard lock(m);
    if (line) line->EmitLineError(bits);
  }
  std::mutex m;
  platform::LoopbackLine* line = nullptr;
  std::string got;
  platform::LineSettings lastLine;
};

class LoopbackPort : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetSerialPortMap("");
    for (int i = 0; i < 3; ++i) platform::RegisterLoopbackPort(coms[i], &peers[i]);
  }
  void TearDown() override {
    for (int c : coms) platform::UnregisterLoopbackPort(c);
  }
  // Runs the message loop until n messages arrived (or 2 s passed).
  bool WaitFor(std::size_t n) {
    return app.RunUntil([&] { return form.got.size() >= n; }, 2000);
  }
  platform::HeadlessApplication app;
  RecordingForm form;
  Peer peers[3];
  int coms[3] = {3, 4, 7};
};

}  // namespace

TEST_F(LoopbackPort, OpensTheRecordsPortOrTheOneAsked) {
  TComPort port(nullptr);
  EXPECT_EQ(port.GetMaxV24Devices(), 3);
  EXPECT_EQ(port.GetMaxV24Useable(), 3);
  EXPECT_EQ(port.Get_UseableV24(0), 2);
  EXPECT_EQ(port.Get_UseableV24(2), 6);
  EXPECT_EQ(port.Get_UseableV24(3), -1);

  port.GetV24Parameter().Schnittstelle = Com__4;
  PortHandle h = port.Open(&form, 0, -1, false);
  ASSERT_NE(h, InvalidPortHandle);
  EXPECT_EQ(port.ComNumber(), 4);
  // Already open: the same handle, nothing reconfigured.
  port.ChangeBaudrate(B__9600);
  EXPECT_EQ(port.Open(&form, 0, 6, false), h);
  EXPECT_EQ(port.ComNumber(), 4);
  EXPECT_EQ(port.LoadV24Parameter().baud, 9600u);
  port.Close();
  EXPECT_FALSE(port.IsOpen());

  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  EXPECT_EQ(port.ComNumber(), 7);
  EXPECT_EQ(port.V24().Record.Schnittstelle, Com__7);
}

TEST_F(LoopbackPort, OpenedPortIsStoredInTheFile) {
  fs::path dir = fs::temp_directory_path() / ("comport_lb_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  TComPort port(nullptr);
  port.StreamOn = true;
  port.SetNewConfigPath(dir.string().c_str());
  port.GetV24Parameter().Schnittstelle = Com__4;
  ASSERT_NE(port.Open(&form, 0, 6, false), InvalidPortHandle);
  EXPECT_EQ(port.V24().Record.Schnittstelle, Com__7);
  std::ifstream f(dir / "ComData.cfg", std::ios::binary);
  std::string b{std::istreambuf_iterator<char>(f), {}};
  ASSERT_EQ(b.size(), 48u);
  EXPECT_EQ(b[28], 6);
  port.Close();
  fs::remove_all(dir);
}

TEST_F(LoopbackPort, AutoSearchSkipsABusyPort) {
  TComPort holder(nullptr);
  ASSERT_NE(holder.Open(&form, 0, 2, false), InvalidPortHandle);  // COM3 taken
  TComPort port(nullptr);
  EXPECT_EQ(port.GetMaxV24Devices(), 3);
  EXPECT_EQ(port.GetMaxV24Useable(), 2);
  EXPECT_EQ(port.Get_DeviceV24(0), 2);
  EXPECT_EQ(port.Get_UseableV24(0), 3);
  port.AutoSearch = true;
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  EXPECT_EQ(port.ComNumber(), 4);
  EXPECT_EQ(port.V24().Record.Schnittstelle, Com__4);
}

TEST_F(LoopbackPort, FailedOpenShowsTheBoxOnlyWhenAsked) {
  TComPort port(nullptr);
  port.GetV24Parameter().Baudrate = B_38400;
  EXPECT_EQ(port.Open(&form, 0, 5, false), InvalidPortHandle);  // COM6 does not exist
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_EQ(port.Open(&form, 0, 5, true), InvalidPortHandle);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0].text, "COM6 konnte nicht ge\xF6" "ffnet werden!");
  EXPECT_EQ(app.Boxes()[0].caption, "Fehler");
  EXPECT_EQ(app.Boxes()[0].buttons, platform::BoxButtons::Ok);
  port.SetLanguage(1);
  port.Open(&form, 0, 5, true);
  EXPECT_EQ(app.Boxes()[1].text, "Cannot open COM6! ");
  EXPECT_EQ(app.Boxes()[1].caption, "Error");
  // Nothing of the failed opens was stored.
  EXPECT_EQ(port.V24().Record.Schnittstelle, Com__1);
  EXPECT_EQ(port.V24().Record.Baudrate, B_38400);
}

TEST_F(LoopbackPort, ClosedPortResults) {
  TComPort port(nullptr);
  char buf[8] = "x";
  EXPECT_EQ(port.Read(buf, 4), -10);
  EXPECT_EQ(port.Write("abc", -1, false), -10);
  EXPECT_EQ(port.GetWriteStatus(), nullptr);
  port.Close();  // nothing happens
  port.SaveLastV24Parameter();
  EXPECT_TRUE(port.LastValid());
}

TEST_F(LoopbackPort, LineErrorsPostTheirMessagesInOrder) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  struct Case {
    unsigned bits;
    std::vector<std::uint32_t> expect;
  } cases[] = {
      {platform::LineErrFraming | platform::LineErrOverrun, {34788, 34798}},
      {0, {34788}},
      {platform::LineErrParity, {34808}},
      {platform::LineErrFraming | platform::LineErrOverrun | platform::LineErrParity,
       {34788, 34798, 34808}},
  };
  for (const auto& c : cases) {
    form.got.clear();
    peers[0].Error(c.bits);
    ASSERT_TRUE(WaitFor(c.expect.size())) << c.bits;
    app.RunUntil([] { return false; }, 50);  // nothing more follows
    ASSERT_EQ(form.got.size(), c.expect.size()) << c.bits;
    for (std::size_t i = 0; i < c.expect.size(); ++i) {
      EXPECT_EQ(form.got[i].message, c.expect[i]) << c.bits;
      EXPECT_EQ(form.got[i].wparam, 3);
    }
  }
  // An overflow of the receive queue alone posts nothing.
  form.got.clear();
  peers[0].Error(platform::LineErrRxOverflow);
  app.RunUntil([] { return false; }, 100);
  EXPECT_TRUE(form.got.empty());
}

TEST_F(LoopbackPort, DataMessageUntilReadAndReadResults) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  peers[0].Emit("!\r\n");
  ASSERT_TRUE(WaitFor(1));
  EXPECT_EQ(form.got[0].message, 34768u);
  EXPECT_EQ(form.got[0].wparam, 3);
  peers[0].Emit("more");
  app.RunUntil([] { return false; }, 100);
  EXPECT_EQ(form.got.size(), 1u);  // one outstanding notification
  char buf[64];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(port.Read(buf, 63), 7);
  EXPECT_STREQ(buf, "!\r\nmore");
  EXPECT_EQ(port.Read(buf, 63), 0);
  EXPECT_EQ(buf[0], '\0');
  peers[0].Emit("again");
  ASSERT_TRUE(WaitFor(2));
  EXPECT_EQ(form.got[1].message, 34768u);
}

TEST_F(LoopbackPort, ReadThatFillsTheBufferWritesNothingBehindIt) {
  // A reply line longer than the reply parser's chunk of 250 bytes: the read that fills the
  // chunk has no room for the terminating NUL and must not put one behind it.
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  const std::string line = std::string(300, 'x') + "\r\n";
  peers[0].Emit(line);
  // Exactly as large as asked for, so that AddressSanitizer sees a write behind it.
  std::vector<char> chunk(250);
  ASSERT_EQ(port.Read(chunk.data(), 250), 250);
  EXPECT_EQ(std::string(chunk.data(), 250), line.substr(0, 250));
  // The same with a guard byte behind the buffer, for a build without the sanitizer.
  struct {
    char chunk[40];
    char guard;
  } guarded;
  guarded.guard = '#';
  ASSERT_EQ(port.Read(guarded.chunk, 40), 40);
  EXPECT_EQ(guarded.guard, '#');
  // A read with room left still ends the text with a NUL.
  char rest[64];
  std::memset(rest, 'y', sizeof rest);
  ASSERT_EQ(port.Read(rest, sizeof rest), 12);
  EXPECT_STREQ(rest, (line.substr(290)).c_str());
}

TEST_F(LoopbackPort, KeinStringLeavesTheBufferAlone) {
  TComPort port(nullptr);
  port.GetV24Parameter().KeinString = true;
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  peers[0].Emit("ab");
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(port.Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 4), "abxx");
  EXPECT_EQ(port.Read(buf, 2), 0);
  EXPECT_EQ(buf[0], 'a');
}

TEST_F(LoopbackPort, NulBytesDiscardedWhenAsked) {
  TComPort port(nullptr);
  port.GetV24Parameter().KeinNullZeichen = true;
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  peers[0].Emit(std::string("a\0b", 3));
  char buf[8];
  EXPECT_EQ(port.Read(buf, 7), 2);
  EXPECT_STREQ(buf, "ab");
  // Close puts the saved settings back with NUL discarding off.
  port.Close();
  EXPECT_FALSE(peers[0].lastLine.discardNul);
}

TEST_F(LoopbackPort, WriteFramingAndLimits) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  EXPECT_EQ(port.Write("A.1000\r\n", -1, false), 8);
  port.ChangeHandShake(ZAN_XonXoff);
  EXPECT_TRUE(port.LoadV24Parameter().outXonXoff);
  EXPECT_EQ(port.Write("A.1000\r\n", -1, false), 10);
  EXPECT_EQ(peers[0].got, "A.1000\r\n\x13" "A.1000\r\n\x11");
  // The staging buffer bounds a single write; beyond it nothing is sent.
  std::string big(32769, 'x');
  EXPECT_EQ(port.Write(big.data(), 32766, false), 0);
  EXPECT_EQ(port.Write(big.data(), 32765, false), 32767);
  port.ChangeHandShake(NoHandshake);
  EXPECT_EQ(port.Write(big.data(), 32768, false), 32768);
  EXPECT_EQ(port.Write(big.data(), 32769, false), 0);
  EXPECT_EQ(port.Write(nullptr, 5, false), 0);
  EXPECT_EQ(port.Write("abc", -7, false), 0);
}

TEST_F(LoopbackPort, LiveChangesAndSnapshots) {
  TComPort port(nullptr);
  port.LoadLastV24Parameter();  // nothing saved yet: nothing happens
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  auto s = port.LoadV24Parameter();
  EXPECT_EQ(s.baud, 4800u);
  EXPECT_EQ(s.dataBits, 8);
  port.SaveLastV24Parameter();
  port.ChangeV24Parameter(B_38400, S_2, Even, true);
  s = port.LoadV24Parameter();
  EXPECT_EQ(s.baud, 38400u);
  EXPECT_EQ(s.stopBits, platform::StopBits::Two);
  EXPECT_EQ(s.parity, platform::Parity::Even);
  EXPECT_TRUE(s.discardNul);
  EXPECT_EQ(peers[0].lastLine.baud, 38400u);
  port.ChangeHandShake(RTS_CTS);
  EXPECT_TRUE(port.LoadV24Parameter().ctsFlow);
  port.LoadLastV24Parameter();
  s = port.LoadV24Parameter();
  EXPECT_EQ(s.baud, 4800u);
  EXPECT_EQ(s.parity, platform::Parity::None);
  EXPECT_FALSE(s.ctsFlow);
  // The record is not touched by live changes.
  EXPECT_EQ(port.V24().Record.Baudrate, B__4800);

  port.ChangeV24TimeOut(-1, 300, -1, 2);
  auto t = port.LoadV24TimeOut();
  EXPECT_EQ(t.readConstant, 1u);
  EXPECT_EQ(t.writeConstant, 300u);
  EXPECT_EQ(t.writeMultiplier, 2u);
  EXPECT_EQ(t.readInterval, 20u);
  port.ChangeV24TimeOut(0, -1, 0, -1);
  EXPECT_EQ(port.LoadV24TimeOut().readConstant, 1u);
  port.ChangeV24TimeOut(250, -1, 5, -1);
  t = port.LoadV24TimeOut();
  EXPECT_EQ(t.readConstant, 250u);
  EXPECT_EQ(t.readMultiplier, 5u);

  port.ChangeRXNotifyDelay(200);
  EXPECT_EQ(port.GetRXNotificationTime(), 200u);

  // Copying live settings to another open port (what the window does at start-up).
  TComPort other(nullptr);
  ASSERT_NE(other.Open(&form, 0, 3, false), InvalidPortHandle);
  port.ChangeBaudrate(B__9600);
  auto live = port.LoadV24Parameter();
  auto liveT = port.LoadV24TimeOut();
  other.SaveV24Parameter(&live);
  other.SaveV24TimeOut(&liveT);
  EXPECT_EQ(other.LoadV24Parameter(), live);
  EXPECT_EQ(other.LoadV24TimeOut(), liveT);
}

TEST_F(LoopbackPort, ThreadMessagesWithoutAWindow) {
  unsigned long me = platform::CurrentThreadMessageId();
  TComPort port(nullptr);
  ASSERT_NE(port.Open(nullptr, me, 6, false), InvalidPortHandle);
  peers[2].Emit("x");
  platform::ThreadMessage m;
  ASSERT_TRUE(platform::GetThreadMessage(m, 2000));
  EXPECT_EQ(m.message, 3024u);
  EXPECT_EQ(m.wparam, 7);
  peers[2].Error(platform::LineErrFraming | platform::LineErrOverrun);
  ASSERT_TRUE(platform::GetThreadMessage(m, 2000));
  EXPECT_EQ(m.message, 3044u);
  ASSERT_TRUE(platform::GetThreadMessage(m, 2000));
  EXPECT_EQ(m.message, 3054u);
  EXPECT_TRUE(form.got.empty());
}

TEST_F(LoopbackPort, NotQuietUntilTheMessageIsPosted) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  for (int i = 0; i < 50; ++i) {
    form.got.clear();
    port.Reset_SetAktiv();
    peers[0].Emit("x");
    // Once every source is quiet, the data message must already be in the queue.
    while (!platform::AllQuiet()) {
    }
    ASSERT_EQ(app.PendingMessages(), 1u) << i;
    app.ProcessMessages();
    char buf[4];
    port.Read(buf, 3);
  }
}

TEST_F(LoopbackPort, VanishedDeviceEndsQuietly) {
  TComPort port(nullptr);
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  platform::HangUpLoopbackPort(3);
  char buf[8];
  EXPECT_EQ(port.Read(buf, 4), -10);
  EXPECT_EQ(port.Write("abc", 3, false), -100);
  EXPECT_EQ(port.Write("abc", 3, false), -100);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(LoopbackPort, NotificationPauseHoldsTheNextLook) {
  TComPort port(nullptr);
  port.GetV24Parameter().RXNotification = 200;
  ASSERT_NE(port.Open(&form, 0, 2, false), InvalidPortHandle);
  EXPECT_EQ(port.GetRXNotificationTime(), 200u);
  peers[0].Emit("a");
  ASSERT_TRUE(WaitFor(1));
  char buf[8];
  port.Read(buf, 7);
  peers[0].Emit("b");
  ASSERT_TRUE(WaitFor(2));
  EXPECT_GE(form.got[1].at - form.got[0].at, 190u);
}

TEST(PortMap, EntriesEnvironmentAndLoopbackOverride) {
  platform::SetSerialPortMap("3=/dev/pts/4, 7=/dev/ttyUSB0,x=1,0=/a,257=/b,5=,=9,12");
  auto list = platform::SerialPortList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], (std::pair<int, std::string>{3, "/dev/pts/4"}));
  EXPECT_EQ(list[1], (std::pair<int, std::string>{7, "/dev/ttyUSB0"}));
  EXPECT_EQ(platform::SerialDevicePath(5), "");
  Peer peer;
  platform::RegisterLoopbackPort(3, &peer);
  EXPECT_EQ(platform::SerialDevicePath(3), "loop:COM3");
  platform::UnregisterLoopbackPort(3);
  // A named peer behind a device path.
  platform::RegisterLoopbackPeer("sim", &peer);
  platform::SetSerialPortMap("2=loop:sim");
  {
    platform::HeadlessApplication app;
    RecordingForm form;
    TComPort port(nullptr);
    ASSERT_EQ(port.GetMaxV24Useable(), 1);
    ASSERT_NE(port.Open(&form, 0, 1, false), InvalidPortHandle);
    EXPECT_EQ(port.DevicePath(), "loop:sim");
    port.Write("hi", 2, false);
    EXPECT_EQ(peer.got, "hi");
  }
  platform::UnregisterLoopbackPeer("sim");
  ::setenv("UPDATE_COM_PORTS", "12=/dev/ttyACM3", 1);
  platform::SetSerialPortMap(std::nullopt);
  EXPECT_EQ(platform::SerialDevicePath(12), "/dev/ttyACM3");
  ::unsetenv("UPDATE_COM_PORTS");
  platform::SetSerialPortMap("");
}

TEST(OpenError, PermissionIsSaidInPlainWords) {
  platform::SerialOpenResult r;
  r.error = platform::SerialOpenError::Permission;
  r.path = "/dev/ttyUSB0";
  r.group = "dialout";
  EXPECT_EQ(OpenErrorText(0, 1, r),
            "COM1 konnte nicht ge\xF6" "ffnet werden!\r\nKeine Berechtigung f\xFCr /dev/ttyUSB0. "
            "Der Benutzer geh\xF6rt nicht zur Gruppe \"dialout\", der das Ger\xE4t geh\xF6rt.");
  EXPECT_EQ(OpenErrorText(1, 1, r),
            "Cannot open COM1! \r\nPermission denied for /dev/ttyUSB0. The user is not a member "
            "of the group \"dialout\" that owns the device.");
  r.error = platform::SerialOpenError::Busy;
  EXPECT_EQ(OpenErrorText(1, 12, r), "Cannot open COM12! ");
}
