// 5xx loader frames: the CRC, the command frames, the password and what the front of the
// loader's answer is taken for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaders/Bsl54xxFrame.h"

using namespace loaders::bsl54xx;

namespace {
using Bytes = std::vector<std::uint8_t>;
Bytes Of(const Frame& f) { return {f.data(), f.data() + f.size}; }
}  // namespace

TEST(Bsl54xxFrame, CrcCheckValueAndTheCommandFrames) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x29B1);
  EXPECT_EQ(Of(VersionFrame()), (Bytes{0x80, 0x01, 0x00, 0x19, 0xE8, 0x62}));
  EXPECT_EQ(Of(ChangeBaudFrame(kBaud38400)), (Bytes{0x80, 0x02, 0x00, 0x52, 0x04, 0x56, 0x35}));
  EXPECT_EQ(Of(ReadMemoryFrame(0x1A04, 4)), (Bytes{0x80, 0x06, 0x00, 0x18, 0x04, 0x1A, 0x00, 0x04, 0x00, 0x18, 0x2F}));
  // Addresses are three bytes, lowest first, also above 64 KB.
  const Bytes erase = Of(EraseSegmentFrame(0x12345));
  ASSERT_EQ(erase.size(), 9u);
  EXPECT_EQ(Bytes(erase.begin(), erase.begin() + 7), (Bytes{0x80, 0x04, 0x00, 0x12, 0x45, 0x23, 0x01}));
  const Bytes start = Of(LoadPcFrame(0x5C00));
  EXPECT_EQ(Bytes(start.begin(), start.begin() + 7), (Bytes{0x80, 0x04, 0x00, 0x17, 0x00, 0x5C, 0x00}));
  // Every frame carries the CRC of its core, low byte first.
  for (const Bytes& f : {erase, start}) {
    const std::uint16_t crc = Crc16(f.data() + 3, f.size() - 5);
    EXPECT_EQ(f[f.size() - 2], crc & 0xFF);
    EXPECT_EQ(f[f.size() - 1], crc >> 8);
  }
}

TEST(Bsl54xxFrame, WriteBlockUpToTheLargestImageBlock) {
  Bytes data(loaders::kBlockDataMax);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3);
  const Frame f = WriteBlockFrame(0x10F10, data.data(), data.size());
  ASSERT_EQ(f.size, 5u + 4 + 246);
  EXPECT_EQ(f.bytes[1], 250);  // NL: command, address and data
  EXPECT_EQ(f.bytes[2], 0);
  EXPECT_EQ(f.bytes[3], kCmdWriteBlock);
  EXPECT_EQ(Bytes(f.bytes.begin() + 4, f.bytes.begin() + 7), (Bytes{0x10, 0x0F, 0x01}));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), f.bytes.begin() + 7));
  EXPECT_EQ(ReadFront(f.data(), f.size).answer, Answer::Reply) << "its CRC checks as a reply's does";
  Bytes more(247);
  EXPECT_EQ(WriteBlockFrame(0x5C00, more.data(), more.size()).size, 0u);
}

TEST(Bsl54xxFrame, PasswordFromTheVectorText) {
  struct Case {
    std::string text;
    std::vector<std::pair<int, std::uint16_t>> words;  // the words that are not fill words
  } cases[] = {
      {"0x5C00", {{15, 0x5C00}}},
      {"0xC00", {{15, 0x0C00}}},  // five characters are one group
      {"0x5C000x1234", {{15, 0x5C00}, {14, 0x1234}}},
      {"", {}},
  };
  for (const Case& c : cases) {
    const Password p = PasswordFromVectorText(c.text);
    Password want;
    want.fill(kFillWord);
    for (auto [i, w] : c.words) want[static_cast<std::size_t>(i)] = w;
    EXPECT_EQ(p, want) << c.text;
  }
  // Seventeen groups: the first sixteen fill the password from its last word down.
  std::string text;
  for (int i = 0; i < 17; ++i) {
    char g[8];
    std::snprintf(g, sizeof g, "0x%04X", 0x1000 + i);
    text += g;
  }
  const Password all = PasswordFromVectorText(text);
  EXPECT_EQ(all[15], 0x1000);
  EXPECT_EQ(all[0], 0x100F);

  // The frame: 0x11, then the words low byte first; the erased device's is all 0xFF.
  const Frame f = PasswordFrame(DefaultPassword(0x5C00));
  ASSERT_EQ(f.size, 5u + 33);
  EXPECT_EQ(f.bytes[1], 33);
  EXPECT_EQ(f.bytes[3], kCmdPassword);
  EXPECT_EQ(Bytes(f.bytes.begin() + 4, f.bytes.begin() + 34), Bytes(30, 0xFF));
  EXPECT_EQ(f.bytes[34], 0x00);
  EXPECT_EQ(f.bytes[35], 0x5C);
  const Frame erased = PasswordFrame(ErasedPassword());
  EXPECT_EQ(Bytes(erased.bytes.begin() + 4, erased.bytes.begin() + 36), Bytes(32, 0xFF));
}

// What the front of the loader's answer is taken for.
TEST(Bsl54xxFrame, FrontOfTheAnswer) {
  auto reply = [](Bytes core) {
    Frame f = MakeFrame(core.data(), core.size());
    return Of(f);
  };
  Bytes ok = reply({kMessageReply, kMsgOk});
  Bytes badCrc = ok;
  badCrc.back() ^= 0x01;
  Bytes data = reply({kDataReply, 0x00, 0x08, 0x09, 0x04});
  Bytes big = {0x80, 0x05, 0x01};  // a core of 261 bytes: larger than the loader's buffer
  struct Case {
    const char* what;
    Bytes in;
    Answer answer;
    std::size_t size;
  } cases[] = {
      {"nothing", {}, Answer::Incomplete, 0},
      {"ACK", {0x00, 0x80}, Answer::Ack, 1},
      {"header incorrect", {0x51}, Answer::Nak, 1},
      {"checksum incorrect", {0x52}, Answer::Nak, 1},
      {"packet size zero", {0x53}, Answer::Nak, 1},
      {"packet size too big", {0x54}, Answer::Nak, 1},
      {"unknown error", {0x55}, Answer::Nak, 1},
      {"unknown baud rate", {0x56}, Answer::Nak, 1},
      {"message reply", ok, Answer::Reply, 7},
      {"data reply", data, Answer::Reply, 10},
      {"reply with a bad CRC", badCrc, Answer::BadReply, 7},
      {"reply not complete", Bytes(data.begin(), data.end() - 1), Answer::Incomplete, 0},
      {"header alone", {0x80}, Answer::Incomplete, 0},
      {"header of an empty reply", {0x80, 0x00, 0x00, 0x00, 0x00}, Answer::Stray, 1},
      {"header of an oversized reply", big, Answer::Stray, 1},
      {"other byte", {0x2A}, Answer::Stray, 1},
  };
  for (const Case& c : cases) {
    const Front f = ReadFront(c.in.data(), c.in.size());
    EXPECT_EQ(f.answer, c.answer) << c.what;
    EXPECT_EQ(f.size, c.size) << c.what;
  }
}
