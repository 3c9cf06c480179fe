// Classic loader frames: checksum, the command frames, the password and reply verification.
#include <gtest/gtest.h>

#include <vector>

#include "loaders/BslFrame.h"

using namespace loaders::bsl;

namespace {
std::vector<std::uint8_t> Bytes(const Frame& f) { return {f.data(), f.data() + f.size}; }
}  // namespace

TEST(BslFrame, VersionReadFrame) {
  EXPECT_EQ(Bytes(VersionFrame()),
            (std::vector<std::uint8_t>{0x80, 0x1E, 0x04, 0x04, 0x58, 0x58, 0x58, 0x58, 0x7B, 0xE5}));
}

TEST(BslFrame, CommandFrames) {
  struct Case {
    Frame frame;
    std::vector<std::uint8_t> head;  // bytes 0 .. 3 + L1
  } cases[] = {
      {EraseSegmentFrame(0xFC00), {0x80, 0x16, 4, 4, 0x00, 0xFC, 0x02, 0xA5}},
      {LoadPcFrame(0x0C22), {0x80, 0x1A, 4, 4, 0x22, 0x0C, 0x58, 0x58}},
      {ReadBlockFrame(0x3100, 240), {0x80, 0x14, 4, 4, 0x00, 0x31, 0xF0, 0x00}},
      {ChangeBaudFrame(0x80, 0x8C), {0x80, 0x20, 4, 4, 0x80, 0x8C, 0x02, 0x58}},
      {MemoryOffsetFrame(1), {0x80, 0x21, 4, 4, 0x00, 0x00, 0x01, 0x58}},
  };
  for (const Case& k : cases) {
    ASSERT_EQ(k.frame.size, k.head.size() + 2);
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < k.head.size(); i += 2) sum ^= static_cast<std::uint16_t>(k.head[i] | k.head[i + 1] << 8);
    sum = static_cast<std::uint16_t>(~sum);
    std::vector<std::uint8_t> expected = k.head;
    expected.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    expected.push_back(static_cast<std::uint8_t>(sum >> 8));
    EXPECT_EQ(Bytes(k.frame), expected);
    EXPECT_TRUE(VerifyReplyFrame(k.frame.data(), k.frame.size));
  }
}

TEST(BslFrame, WriteBlockCarriesAddressLengthAndData) {
  std::vector<std::uint8_t> data(240);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  const Frame f = WriteBlockFrame(0xFFE0, data.data(), data.size());
  ASSERT_EQ(f.size, 240u + 10);
  EXPECT_EQ(f.bytes[1], 0x12);
  EXPECT_EQ(f.bytes[2], 244);
  EXPECT_EQ(f.bytes[3], 244);
  EXPECT_EQ(f.bytes[4], 0xE0);
  EXPECT_EQ(f.bytes[5], 0xFF);
  EXPECT_EQ(f.bytes[6], 240);
  EXPECT_EQ(f.bytes[7], 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), f.bytes.begin() + 8));
  EXPECT_TRUE(VerifyReplyFrame(f.data(), f.size));
  // The largest block still fits; anything longer is not built.
  std::vector<std::uint8_t> big(247);
  EXPECT_EQ(WriteBlockFrame(0x3100, big.data(), 246).size, 256u);
  EXPECT_EQ(WriteBlockFrame(0x3100, big.data(), 247).size, 0u);
  std::uint8_t out[300];
  EXPECT_EQ(BuildFrame(0x12, big.data(), 251, out, sizeof out), 0u);
  EXPECT_EQ(BuildFrame(0x12, big.data(), 10, out, 15), 0u);
}

TEST(BslFrame, PasswordIsFillAndVectorWord) {
  const Frame f = PasswordFrame(0x0C00);
  ASSERT_EQ(f.size, 42u);
  EXPECT_EQ(f.bytes[1], 0x10);
  EXPECT_EQ(f.bytes[2], 36);
  for (int i = 4; i < 4 + 34; ++i) EXPECT_EQ(f.bytes[static_cast<std::size_t>(i)], kPasswordFill) << i;
  EXPECT_EQ(f.bytes[38], 0x00);
  EXPECT_EQ(f.bytes[39], 0x0C);
  EXPECT_TRUE(VerifyReplyFrame(f.data(), f.size));
}

TEST(BslFrame, DefaultVectorTextsHaveThreeDigits) {
  EXPECT_EQ(DefaultVectorText(1), "0xE00");
  EXPECT_EQ(DefaultVectorText(2), "0xC00");
  EXPECT_EQ(DefaultVectorText(3), "0xD00");
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(std::stoul(DefaultVectorText(n), nullptr, 16), DefaultVectorWord(n));
}

TEST(BslFrame, ReplyVerification) {
  // A version reply as the loader sends it: 16 data bytes.
  std::uint8_t data[16] = {0xF1, 0x6C, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x60, 0, 0, 0, 0};
  std::uint8_t frame[22];
  ASSERT_EQ(BuildFrame(0x00, data, 16, frame, sizeof frame), 22u);
  EXPECT_EQ(ReplyFrameSize(frame, 3), 22u);
  EXPECT_EQ(ReplyFrameSize(frame, 2), 0u);
  EXPECT_TRUE(VerifyReplyFrame(frame, 22));
  EXPECT_EQ(ReplyData(frame)[11], 0x60);
  EXPECT_FALSE(VerifyReplyFrame(frame, 21));  // short
  EXPECT_FALSE(VerifyReplyFrame(frame, 5));
  for (std::size_t i : {1u, 4u, 19u, 20u, 21u}) {  // any changed byte breaks the checksum
    std::uint8_t bad[22];
    std::copy(frame, frame + 22, bad);
    bad[i] ^= 0x01;
    EXPECT_FALSE(VerifyReplyFrame(bad, 22)) << i;
  }
  frame[0] = 0x90;
  EXPECT_FALSE(VerifyReplyFrame(frame, 22));
}
