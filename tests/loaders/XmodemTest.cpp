// The serial boot loader's image form, its packets and the XMODEM-CRC sender's decisions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaders/Emf_loadunit.h"
#include "loaders/Xmodem.h"

namespace loaderstest {
namespace {

namespace xm = loaders::xmodem;
using Bytes = std::vector<std::uint8_t>;

Bytes File(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

TEST(XmodemCrc, CheckValueOfTheNineDigits) {
  const std::string digits = "123456789";
  EXPECT_EQ(xm::Crc16(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()), 0x31C3);
  EXPECT_EQ(xm::Crc16(nullptr, 0), 0);
}

// Packets, padding, length field and checksum for the sizes around a packet's edge.
TEST(EmfImage, PaddingLengthFieldAndChecksum) {
  struct Case {
    std::size_t file;
    std::uint32_t packets;
  };
  for (const Case& c : {Case{1000, 8}, Case{122, 2}, Case{0, 1}, Case{121, 1}, Case{249, 2}, Case{250, 3}}) {
    SCOPED_TRACE(c.file);
    const Bytes file = File(c.file);
    const xm::Image image = xm::PrepareImage(file);
    ASSERT_EQ(image.packets, c.packets);
    ASSERT_EQ(image.bytes.size(), c.packets * 128u);
    const std::uint32_t length = c.packets * 128 - 6;
    EXPECT_EQ(image.length, length);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), image.bytes.begin()));
    for (std::size_t i = c.file; i < length; ++i) ASSERT_EQ(image.bytes[i], 0xFF) << i;
    const std::uint8_t* t = image.bytes.data() + length;
    EXPECT_EQ(t[0] | t[1] << 8 | t[2] << 16 | static_cast<std::uint32_t>(t[3]) << 24, length);
    const std::uint16_t crc = xm::Crc16(image.bytes.data(), length);
    EXPECT_EQ(image.checksum, crc);
    EXPECT_EQ(t[4] | t[5] << 8, crc) << "little endian";
  }
  // The named cases: 1000 bytes pad 1000..1017 and carry 1018; 122 bytes get a whole packet
  // of padding; an empty file is 122 bytes 0xFF and the trailer.
  EXPECT_EQ(xm::PrepareImage(File(122)).length - 122, 128u);
}

TEST(EmfImage, TheBufferTakesFilesUpTo1499897Bytes) {
  EXPECT_EQ(loaders::T_EMFLoader::kMaxFileSize, 1499897u);
  EXPECT_LE(xm::PacketsFor(1499897) * 128u, loaders::T_EMFLoader::kImageCapacity);
  EXPECT_GT(xm::PacketsFor(1499898) * 128u, loaders::T_EMFLoader::kImageCapacity);
  EXPECT_EQ(xm::MaxFileSize(127), 0u);
  EXPECT_EQ(xm::MaxFileSize(128), 121u);
}

TEST(XmodemPacket, NumberComplementDataAndCrcHighByteFirst) {
  const xm::Image image = xm::PrepareImage(File(300 * 128));
  for (std::uint32_t number : {1u, 2u, 255u, 256u, 257u}) {
    SCOPED_TRACE(number);
    const xm::Packet p = xm::BuildPacket(image, number);
    EXPECT_EQ(p[0], 0x01);
    EXPECT_EQ(p[1], number % 256);
    EXPECT_EQ(p[2], 255 - number % 256);
    EXPECT_TRUE(std::equal(p.begin() + 3, p.begin() + 131, image.bytes.begin() + (number - 1) * 128));
    const std::uint16_t crc = xm::Crc16(p.data() + 3, 128);
    EXPECT_EQ(p[131], crc >> 8);
    EXPECT_EQ(p[132], crc & 0xFF);
  }
  const xm::Packet p256 = xm::BuildPacket(image, 256);
  EXPECT_EQ(p256[1], 0);
  EXPECT_EQ(p256[2], 255);
}

// Feeds the sender one read after another; the packets it asks for, "EOT", or "-".
std::vector<std::string> Drive(xm::Sender& s, const std::vector<Bytes>& reads) {
  std::vector<std::string> out;
  for (const Bytes& r : reads) {
    const xm::Sender::Reaction a = s.OnReceived(r.data(), r.size());
    if (a.send == xm::Sender::Send::Packet) out.push_back(std::to_string(a.packet));
    else if (a.send == xm::Sender::Send::EndOfTransmission) out.push_back("EOT");
    else out.push_back("-");
  }
  return out;
}

const Bytes C{'C'}, ACK{0x06}, NAK{0x15}, CAN{0x18};

TEST(XmodemSender, RequestAckNakSendsPacketOneTwoTwo) {
  xm::Sender s(3);
  EXPECT_EQ(Drive(s, {C, ACK, NAK}), (std::vector<std::string>{"1", "2", "2"}));
  EXPECT_EQ(Drive(s, {ACK, ACK}), (std::vector<std::string>{"3", "EOT"}));
  // A refused EOT is sent again, not the last packet.
  EXPECT_EQ(Drive(s, {NAK, ACK}), (std::vector<std::string>{"EOT", "-"}));
  EXPECT_EQ(s.GetState(), xm::Sender::State::Finished);
}

TEST(XmodemSender, OnlyTheFirstByteOfAReadAnswers) {
  xm::Sender s(5);
  // Before the first request a NAK (a checksum receiver) or an ACK starts nothing.
  EXPECT_EQ(Drive(s, {NAK, ACK, Bytes{'?', 'C'}, Bytes{'C', 'C', 'C'}}),
            (std::vector<std::string>{"-", "-", "-", "1"}));
  // An ACK with noise behind it takes one packet only; a second request for packet 1 while it
  // is out sends it again; a late request during packet 2 is ignored.
  EXPECT_EQ(Drive(s, {C, Bytes{0x06, 0x06, 0x15}, C, Bytes{0x41}}),
            (std::vector<std::string>{"1", "2", "-", "-"}));
}

TEST(XmodemSender, CanCanEndsTheTransferAlsoSplitOverTwoReads) {
  {
    xm::Sender s(4);
    Drive(s, {C, ACK});
    Drive(s, {Bytes{0x18, 0x18}});
    EXPECT_EQ(s.GetState(), xm::Sender::State::Cancelled);
    EXPECT_EQ(s.Current(), 2u);
  }
  {
    xm::Sender s(4);
    Drive(s, {C, Bytes{0x15, 0x18}});
    EXPECT_EQ(s.GetState(), xm::Sender::State::AwaitAnswer);
    Drive(s, {CAN});
    EXPECT_EQ(s.GetState(), xm::Sender::State::Cancelled);
  }
  {
    // One CAN alone is noise.
    xm::Sender s(4);
    EXPECT_EQ(Drive(s, {C, CAN, ACK}), (std::vector<std::string>{"1", "-", "2"}));
  }
}

TEST(XmodemSender, RepeatsAPacketTenTimesThenGivesUp) {
  xm::Sender s(2);
  Drive(s, {C});
  for (std::size_t i = 1; i <= xm::Sender::kRepeatLimit; ++i) {
    const auto r = i % 2 ? s.OnReceived(NAK.data(), 1) : s.OnSilence();
    ASSERT_EQ(r.send, xm::Sender::Send::Packet) << i;
    EXPECT_EQ(r.packet, 1u);
    EXPECT_NE(r.trace.find("repeat " + std::to_string(i) + "/10"), std::string::npos) << r.trace;
  }
  const auto last = s.OnReceived(NAK.data(), 1);
  EXPECT_EQ(last.send, xm::Sender::Send::Nothing);
  EXPECT_EQ(s.GetState(), xm::Sender::State::GaveUp);
  EXPECT_EQ(last.trace, "Packet 1 @0000 refused, run failed");

  // The count is per packet: nine refusals of each packet still get through.
  xm::Sender t(3);
  Drive(t, {C});
  for (int packet = 1; packet <= 3; ++packet) {
    for (int i = 0; i < 9; ++i) Drive(t, {NAK});
    Drive(t, {ACK});
  }
  EXPECT_TRUE(t.AtEndOfTransmission());
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Drive(t, {NAK}), std::vector<std::string>{"EOT"});
  Drive(t, {NAK});
  EXPECT_EQ(t.GetState(), xm::Sender::State::GaveUp);
}

TEST(EmfLoaderReplies, VersionUnlockAndChecksum) {
  namespace emf = loaders::emf;
  struct Version {
    const char* text;
    bool unlock;
  };
  for (const Version& v : {Version{"1.05,2011", false}, Version{"1.06", true}, Version{" 1.06,x", true},
                           Version{"1.1", true}, Version{"2", true}, Version{"1.059", false},
                           Version{"0.99", false}, Version{"", false}, Version{"V1.06", false}})
    EXPECT_EQ(emf::NeedsUnlockCode(v.text), v.unlock) << v.text;
  EXPECT_EQ(emf::VersionLabel("1.05,abc,d"), "1.05");
  EXPECT_EQ(emf::VersionLabel("1.06"), "1.06");

  EXPECT_EQ(emf::ParseChecksum("31C3"), 0x31C3);
  EXPECT_EQ(emf::ParseChecksum("a0f"), 0x0A0F);
  EXPECT_EQ(emf::ParseChecksum(" 0000 "), 0x0000);
  EXPECT_EQ(emf::ParseChecksum("FFFF"), 0xFFFF);
  EXPECT_FALSE(emf::ParseChecksum("10000"));
  EXPECT_FALSE(emf::ParseChecksum(""));
  EXPECT_FALSE(emf::ParseChecksum("xyz"));
}

}  // namespace
}  // namespace loaderstest
