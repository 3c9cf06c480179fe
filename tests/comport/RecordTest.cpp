// The line parameter record, its file and what it means for the line.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "comport/Comport.h"
#include "platform/ExclusiveFile.h"
#include "platform/SerialDevice.h"

using namespace comport;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const V24ParameterTag& r) {
  std::uint8_t b[48];
  r.ToBytes(b);
  return std::string(reinterpret_cast<char*>(b), 48);
}

std::int32_t At(const std::string& b, std::size_t off) {
  return static_cast<std::int32_t>(static_cast<std::uint8_t>(b[off]) |
                                   static_cast<std::uint8_t>(b[off + 1]) << 8 |
                                   static_cast<std::uint8_t>(b[off + 2]) << 16 |
                                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[off + 3])) << 24);
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << bytes;
}

class V24ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("comport_rec_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

}  // namespace

TEST(V24Record, FieldsSitAtTheirOffsetsLittleEndian) {
  V24ParameterTag r;
  r.DatenBits = D_8;
  r.Paritaet = Space;
  r.StopBits = S_2;
  r.Baudrate = B256000;
  r.Handshake = ZAN_XonXoff;
  r.RXTimeOut = 0x01020304;
  r.TXTimeOut = -2;
  r.Schnittstelle = Com256;
  r.KeinNullZeichen = true;
  r.KeinString = false;
  r.RXNotification = 200;
  r.RXTimeOutproChar = 7;
  r.TXTimeOutproChar = 9;
  std::string b = Bytes(r);
  EXPECT_EQ(At(b, 0), 1);
  EXPECT_EQ(At(b, 4), 4);
  EXPECT_EQ(At(b, 8), 2);
  EXPECT_EQ(At(b, 12), 9);
  EXPECT_EQ(At(b, 16), 3);
  EXPECT_EQ(b.substr(20, 4), std::string("\x04\x03\x02\x01", 4));
  EXPECT_EQ(At(b, 24), -2);
  EXPECT_EQ(At(b, 28), 255);
  EXPECT_EQ(b[32], 1);
  EXPECT_EQ(b[33], 0);
  EXPECT_EQ(b[34], 0);
  EXPECT_EQ(b[35], 0);
  EXPECT_EQ(At(b, 36), 200);
  EXPECT_EQ(At(b, 40), 7);
  EXPECT_EQ(At(b, 44), 9);

  V24ParameterTag back;
  back.OverlayBytes(reinterpret_cast<const std::uint8_t*>(b.data()), 48);
  EXPECT_EQ(back, r);
}

TEST(V24Record, PaddingFromAFileIsCarriedAlong) {
  std::string b(48, '\0');
  b[34] = '\x5A';
  b[35] = '\xA5';
  V24ParameterTag r;
  r.OverlayBytes(reinterpret_cast<const std::uint8_t*>(b.data()), 48);
  EXPECT_EQ(Bytes(r).substr(34, 2), "\x5A\xA5");
}

TEST(V24Record, EnumerationNames) {
  EXPECT_EQ(ComTagName(Com__1), "Com__1");
  EXPECT_EQ(ComTagName(Com__9), "Com__9");
  EXPECT_EQ(ComTagName(Com_10), "Com_10");
  EXPECT_EQ(ComTagName(Com_99), "Com_99");
  EXPECT_EQ(ComTagName(Com100), "Com100");
  EXPECT_EQ(ComTagName(Com256), "Com256");
  EXPECT_EQ(ComTagName(static_cast<ComTag>(256)), "");
  EXPECT_EQ(ComTagName(static_cast<ComTag>(-1)), "");
  EXPECT_EQ(static_cast<int>(Com__7), 6);
  EXPECT_STREQ(BaudTagName(B__9600), "B__9600");
  EXPECT_STREQ(BaudTagName(B115200), "B115200");
  EXPECT_STREQ(StopBitTagName(S1_5), "S1_5");
  EXPECT_STREQ(HandshakeTagName(ZAN_XonXoff), "ZAN_XonXoff");
  EXPECT_STREQ(ParitaetTagName(static_cast<ParitaetTag>(5)), "");
  const std::uint32_t rates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 128000, 256000};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(BaudRateOf(static_cast<BaudTag>(i)), rates[i]);
  EXPECT_EQ(BaudRateOf(static_cast<BaudTag>(10)), 0u);
}

TEST(V24Record, NewParameterSetDefaults) {
  TV24Parameter p;
  V24ParameterTag expect;
  expect.DatenBits = D_8;
  expect.Baudrate = B__4800;
  expect.TXTimeOut = 1000;
  EXPECT_EQ(p.Record, expect);
  EXPECT_FALSE(p.WriteThrough);
  EXPECT_TRUE(p.ConfigFileName.empty());
}

TEST(V24Record, LineSettingsFromTheRecord) {
  struct Case {
    ParitaetTag parity;
    platform::Parity expect;
  } parities[] = {{NoParity, platform::Parity::None}, {Odd, platform::Parity::Odd},
                  {Even, platform::Parity::Even},     {Mark, platform::Parity::Mark},
                  {Space, platform::Parity::Space}};
  for (auto c : parities) {
    V24ParameterTag r;
    r.Paritaet = c.parity;
    EXPECT_EQ(LineSettingsOf(r).parity, c.expect) << ParitaetTagName(c.parity);
  }
  struct Hs {
    HandshakeTag h;
    bool cts, xon;
  } hs[] = {{NoHandshake, false, false}, {RTS_CTS, true, false}, {XonXoff, false, true},
            {ZAN_XonXoff, false, true}};
  for (auto c : hs) {
    V24ParameterTag r;
    r.Handshake = c.h;
    auto s = LineSettingsOf(r);
    EXPECT_EQ(s.ctsFlow, c.cts) << HandshakeTagName(c.h);
    EXPECT_EQ(s.outXonXoff, c.xon) << HandshakeTagName(c.h);
    EXPECT_FALSE(s.dtr);
    EXPECT_TRUE(s.rts);
  }
  V24ParameterTag r;
  r.DatenBits = D_7;
  r.StopBits = S1_5;
  r.Baudrate = B128000;
  r.KeinNullZeichen = true;
  auto s = LineSettingsOf(r);
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_EQ(s.stopBits, platform::StopBits::OneHalf);
  EXPECT_EQ(s.baud, 128000u);
  EXPECT_TRUE(s.discardNul);
  // Out-of-range ordinals (a file is not checked) fall back to a new set's values.
  r.Baudrate = static_cast<BaudTag>(77);
  r.Paritaet = static_cast<ParitaetTag>(-3);
  EXPECT_EQ(LineSettingsOf(r).baud, 4800u);
  EXPECT_EQ(LineSettingsOf(r).parity, platform::Parity::None);
}

TEST(V24Record, TimeoutsFromTheRecord) {
  V24ParameterTag r;
  auto t = LineTimeoutsOf(r);
  EXPECT_EQ(t.readInterval, 20u);
  EXPECT_EQ(t.readConstant, 1u);  // both read values 0: 1 ms, not an unlimited read
  EXPECT_EQ(t.readMultiplier, 0u);
  r.RXTimeOutproChar = 3;
  EXPECT_EQ(LineTimeoutsOf(r).readConstant, 0u);
  r.RXTimeOut = 500;
  r.TXTimeOut = 10000;
  r.TXTimeOutproChar = 1;
  t = LineTimeoutsOf(r);
  EXPECT_EQ(t.readConstant, 500u);
  EXPECT_EQ(t.readMultiplier, 3u);
  EXPECT_EQ(t.writeConstant, 10000u);
  EXPECT_EQ(t.writeMultiplier, 1u);
}

TEST_F(V24ConfigFile, ShortFileOverwritesOnlyTheBytesItHolds) {
  // 36 bytes: up to and including the padding; RXNotification is reset, the rest stays.
  V24ParameterTag src;
  src.DatenBits = D_7;
  src.Baudrate = B_19200;
  src.Schnittstelle = Com__3;
  src.RXNotification = 999;
  std::string b = Bytes(src).substr(0, 36);
  fs::path file = dir / "ComData.cfg";
  WriteFile(file, b);
  TV24Parameter p;
  p.Record.RXNotification = 50;
  p.Record.TXTimeOutproChar = 3;
  EXPECT_EQ(p.ReadConfigFile(file.string()), 0);
  EXPECT_EQ(p.Record.RXNotification, 0);
  EXPECT_EQ(p.Record.TXTimeOutproChar, 3);
  EXPECT_EQ(p.Record.DatenBits, D_7);
  EXPECT_EQ(p.Record.Baudrate, B_19200);
  EXPECT_EQ(p.Record.Schnittstelle, Com__3);
  EXPECT_EQ(ReadFile(file).size(), 36u);  // reading does not change the file
}

TEST_F(V24ConfigFile, LongerFileKeepsItsTail) {
  fs::path file = dir / "ComData.cfg";
  std::string tail = "0123456789AB";
  WriteFile(file, std::string(48, '\x01') + tail);
  TV24Parameter p;
  p.Record.Baudrate = B__9600;
  EXPECT_EQ(p.WriteConfigFile(file.string()), 0);
  std::string now = ReadFile(file);
  ASSERT_EQ(now.size(), 60u);
  EXPECT_EQ(now.substr(0, 48), Bytes(p.Record));
  EXPECT_EQ(now.substr(48), tail);
}

TEST_F(V24ConfigFile, MissingFileIsCreatedFromTheRecord) {
  fs::path file = dir / "ComData.cfg";
  TV24Parameter p;
  p.Record.Handshake = RTS_CTS;
  V24ParameterTag before = p.Record;
  EXPECT_EQ(p.ReadConfigFile(file.string()), -10);
  EXPECT_EQ(p.Record, before);
  EXPECT_EQ(ReadFile(file), Bytes(before));
}

TEST_F(V24ConfigFile, FileHeldByAnotherOpenIsNeitherReadNorWritten) {
  fs::path file = dir / "ComData.cfg";
  WriteFile(file, std::string(48, '\x02'));
  platform::ExclusiveFile holder;
  ASSERT_TRUE(holder.Open(file.string(), false));
  TV24Parameter p;
  V24ParameterTag before = p.Record;
  EXPECT_EQ(p.ReadConfigFile(file.string()), -10);
  EXPECT_EQ(p.WriteConfigFile(file.string()), -10);
  EXPECT_EQ(p.Record, before);
  EXPECT_EQ(ReadFile(file), std::string(48, '\x02'));
}

TEST_F(V24ConfigFile, WriteThroughFollowsTheLastGetParameter) {
  fs::path file = dir / "ComData.cfg";
  TV24Parameter p;
  p.GetParameter(true, file.string());  // creates the file from the record
  V24ParameterTag r = p.Record;
  r.Baudrate = B_57600;
  p.SetParameter(r);
  V24ParameterTag onDisk;
  std::string b = ReadFile(file);
  onDisk.OverlayBytes(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  EXPECT_EQ(onDisk.Baudrate, B_57600);
  p.GetParameter(false, file.string());
  r.Baudrate = B__1200;
  p.SetParameter(r);
  b = ReadFile(file);
  onDisk.OverlayBytes(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  EXPECT_EQ(onDisk.Baudrate, B_57600);
  EXPECT_EQ(p.Record.Baudrate, B__1200);
}

TEST(V24Record, ConfigPathPrefix) {
  platform::SetSerialPortMap("");
  TComPort port(nullptr);
  port.SetNewConfigPath("");
  EXPECT_EQ(port.ConfigPath(), "");
  port.SetNewConfigPath("C:\\data\\");
  EXPECT_EQ(port.ConfigPath(), "C:\\data\\");
  port.SetNewConfigPath("C:\\data");
  EXPECT_EQ(port.ConfigPath(), "C:\\data\\");
  port.SetNewConfigPath(nullptr);
  EXPECT_EQ(port.ConfigPath(), "");
}
