// The Windows-CE transfer's CRC-8, check character, packets, announcements and time stamps.
#include <gtest/gtest.h>

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "loaders/WinCEPacket.h"

namespace {

namespace wince = loaders::wince;
using Bytes = std::vector<std::uint8_t>;

// The register as the rule says it: XOR the byte in, then shift left eight times, XORing
// 0x1D after each shift that pushed out a 1.
std::uint8_t ByTheRule(const Bytes& data) {
  unsigned r = 0xFF;
  for (std::uint8_t b : data) {
    r ^= b;
    for (int i = 0; i < 8; ++i) r = (r & 0x80) ? ((r << 1) ^ 0x1D) & 0xFF : (r << 1) & 0xFF;
  }
  return static_cast<std::uint8_t>(r);
}

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// n bytes whose register ends at want.
Bytes WithRegister(std::size_t n, std::uint8_t want) {
  std::mt19937 random(7);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  for (int last = 0; last < 256; ++last) {
    b.back() = static_cast<std::uint8_t>(last);
    if (ByTheRule(b) == want) return b;
  }
  return {};
}

TEST(WinCECrc8, TableAndCheckValue) {
  for (unsigned v = 0; v < 256; ++v) {
    // The table entry is the register after shifting out v alone (initial value XOR byte).
    Bytes one{static_cast<std::uint8_t>(v ^ 0xFF)};
    EXPECT_EQ(wince::Crc8Table()[v], ByTheRule(one)) << v;
  }
  const Bytes check = Of("123456789");
  EXPECT_EQ(wince::Crc8(check.data(), check.size()), 0xB4);
  const Bytes random = WithRegister(1234, 0x5A);
  EXPECT_EQ(wince::Crc8(random.data(), random.size()), ByTheRule(random));
}

TEST(WinCECrc8, CheckCharacterAdjustments) {
  struct Case {
    std::uint8_t crc, sent;
  } cases[] = {{0x44, 0x45}, {0x00, 0x01}, {0x2C, 0x2D}, {0x23, 0x24}, {0x65, 0x65}, {0x01, 0x01}, {0xFF, 0xFF},
               {0x45, 0x45}};
  for (const Case& c : cases) EXPECT_EQ(wince::CheckCharacter(c.crc), c.sent) << int(c.crc);
}

TEST(WinCEPacket, HeaderCarriesLengthAndCheckCharacter) {
  const Bytes abc = Of("abc");
  EXPECT_EQ(wince::Crc8(abc.data(), abc.size()), 0x65);
  EXPECT_EQ(wince::Packet(abc.data(), abc.size()), Of("D.3,e#abc"));
  // An empty block: the initial register and no data bytes.
  EXPECT_EQ(wince::Packet(nullptr, 0), Of("D.0,\xFF#"));
  // A full block whose register ends at 'D' carries 'E'; one that ends at 0 carries 0x01.
  const Bytes d = WithRegister(wince::kBlockBytes, 0x44);
  ASSERT_FALSE(d.empty());
  Bytes p = wince::Packet(d.data(), d.size());
  ASSERT_EQ(p.size(), 9 + d.size());
  EXPECT_EQ(std::string(p.begin(), p.begin() + 9), "D.2000,E#");
  EXPECT_TRUE(std::equal(d.begin(), d.end(), p.begin() + 9));
  const Bytes z = WithRegister(10, 0x00);
  EXPECT_EQ(wince::Packet(z.data(), z.size())[5], 0x01);
  // A packet longer than the retransmit copy holds is never built.
  Bytes big(wince::kPacketCap, 0);
  EXPECT_TRUE(wince::Packet(big.data(), big.size()).empty());
}

TEST(WinCEPacket, AnnouncementFitsItsLineOrIsNotMade) {
  EXPECT_EQ(wince::Announcement("A.1201#", "TORVEX.EXE", 0x5D8A90B9u, 4500),
            std::string("A.1201#TORVEX.EXE,1569362105,4500\r\n"));
  // 7 + name + "," + 10 digits + "," + 1 digit + CR LF and the NUL fill 168 bytes with a name
  // of 145 characters.
  EXPECT_TRUE(wince::Announcement("A.1205#", std::string(145, 'N'), wince::kNoTimeStamp, 7));
  EXPECT_FALSE(wince::Announcement("A.1205#", std::string(146, 'N'), wince::kNoTimeStamp, 7));
  EXPECT_EQ(wince::SpeedCommand(38400), "A.1300#38400\r\n");
}

TEST(WinCEPacket, DosTimeStampOfALocalTime) {
  std::tm t{};
  t.tm_year = 2019 - 1900;
  t.tm_mon = 8;
  t.tm_mday = 24;
  t.tm_hour = 13;
  t.tm_min = 54;
  t.tm_sec = 51;
  t.tm_isdst = -1;
  const std::time_t when = std::mktime(&t);
  const std::uint32_t want = ((39u << 9 | 9u << 5 | 24u) << 16) | (13u << 11 | 54u << 5 | 25u);
  EXPECT_EQ(wince::DosTimeStamp(static_cast<std::int64_t>(when)), want);
  EXPECT_EQ(wince::DosTimeStamp(std::nullopt), wince::kNoTimeStamp);
  EXPECT_EQ(wince::DosTimeStamp(0), wince::kNoTimeStamp) << "1970 lies before the DOS epoch";
}

}  // namespace
