// TI-TXT images into programming blocks: block layout, padding, the 0x10000 split and the
// reordering of the top segment, the 5xx vector area, and the refusals at the buffer limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "loaders/Image.h"
#include "support/RunProgram.h"

using namespace loaders;

namespace {

// n values a, a+1, ... as one data line.
std::string Line(int n, int first = 0, bool trailingBlank = false) {
  std::string s;
  char buf[4];
  for (int i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", (first + i) & 0xFF);
    s += buf;
    if (i + 1 < n || trailingBlank) s += ' ';
  }
  return s + "\r\n";
}

std::string Lines(int count, int perLine = 16) {
  std::string s;
  for (int i = 0; i < count; ++i) s += Line(perLine, i * perLine);
  return s;
}

struct Classic {
  ImageReadResult result;
  std::vector<ImageBlock> table;
  int upper = -7;
};

Classic Read(const std::string& text, int maxBlocks = kImageBlocks) {
  Classic c;
  c.table.resize(static_cast<std::size_t>(maxBlocks));
  c.result = ReadImage(text.data(), text.size(), c.table.data(), maxBlocks, c.upper);
  return c;
}

struct Fivexx {
  ImageReadResult result;
  std::vector<ImageBlock54xx> table;
  int vectorIndex = -7, vectorCount = -7;
};

Fivexx Read54(const std::string& text) {
  Fivexx f;
  f.table.resize(kImageBlocks);
  f.result = ReadImage54xx(text.data(), text.size(), f.table.data(), kImageBlocks, f.vectorIndex,
                           f.vectorCount);
  return f;
}

std::vector<unsigned> Addresses(const Classic& c) {
  std::vector<unsigned> a;
  for (int i = 0; i <= c.result.lastIndex; ++i) a.push_back(c.table[static_cast<std::size_t>(i)].address);
  return a;
}

std::vector<unsigned> Addresses(const Fivexx& f) {
  std::vector<unsigned> a;
  for (int i = 0; i <= f.result.lastIndex; ++i) a.push_back(f.table[static_cast<std::size_t>(i)].address);
  return a;
}

}  // namespace

TEST(ReadImage, TwoLinesMakeOneBlockOfLength36) {
  const Classic c = Read("@F000\r\n" + Lines(2) + "q\r\n");
  ASSERT_TRUE(c.result.ok());
  EXPECT_EQ(c.result.lastIndex, 0);
  EXPECT_EQ(c.upper, -1);
  EXPECT_EQ(c.table[0].address, 0xF000);
  EXPECT_EQ(c.table[0].length, 36);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(c.table[0].data[i], i);
  EXPECT_EQ(c.table[0].data[32], 0);  // no data beyond the length
}

TEST(ReadImage, SixteenLinesMakeTwoBlocks) {
  const Classic c = Read("@3100\r\n" + Lines(16) + "q\r\n");
  ASSERT_TRUE(c.result.ok());
  ASSERT_EQ(c.result.lastIndex, 1);
  EXPECT_EQ(c.table[0].address, 0x3100);
  EXPECT_EQ(c.table[0].length, 244);
  EXPECT_EQ(c.table[1].address, 0x3100 + 240);
  EXPECT_EQ(c.table[1].length, 20);
  EXPECT_EQ(c.table[1].data[0], (15 * 16) & 0xFF);
}

TEST(ReadImage, OddSectionEndIsPaddedWithFF) {
  const Classic c = Read("@F000\r\nAA BB CC\r\n@F100\r\n11 22\r\nq\r\n");
  ASSERT_EQ(c.result.lastIndex, 1);
  EXPECT_EQ(c.table[0].length, 8);
  EXPECT_EQ(c.table[0].data[2], 0xCC);
  EXPECT_EQ(c.table[0].data[3], 0xFF);
  EXPECT_EQ(c.table[1].address, 0xF100);
  EXPECT_EQ(c.table[1].length, 6);
}

// The pad at the line limit is the erased value too: 0x00 there would be programmed into
// flash the image leaves erased, or spoil the next section's first byte.
TEST(ReadImage, OddSectionEndAtLineLimitIsPaddedWithFF) {
  // 14 full lines and one of 3 values end the section: 227 bytes when the 15th line ends.
  const Classic c = Read("@4000\r\n" + Lines(14) + Line(3, 0xA0) + "@5000\r\n" + Line(2, 0x50) + "q\r\n");
  ASSERT_TRUE(c.result.ok());
  ASSERT_EQ(c.result.lastIndex, 1);
  EXPECT_EQ(c.table[0].length, 4 + 228);
  EXPECT_EQ(c.table[0].data[226], 0xA2);
  EXPECT_EQ(c.table[0].data[227], 0xFF);
  EXPECT_EQ(c.table[1].address, 0x5000);
  EXPECT_EQ(c.table[1].length, 6);
}

TEST(ReadImage, OddLineInsideASectionShiftsNothing) {
  // The 15th line leaves an odd count and the section goes on: the odd byte moves into the
  // next block, which starts at its address.
  const std::string text = "@4000\r\n" + Lines(14) + Line(3, 0xA0) + Line(2, 0x50) + "q\r\n";
  const Classic c = Read(text);
  ASSERT_TRUE(c.result.ok());
  ASSERT_EQ(c.result.lastIndex, 1);
  EXPECT_EQ(c.table[0].length, 4 + 226);
  EXPECT_EQ(c.table[0].data[225], 0xA1);
  EXPECT_EQ(c.table[1].address, 0x4000 + 226);
  EXPECT_EQ(c.table[1].length, 4 + 4);  // A2 50 51 and the pad at the image's end
  EXPECT_EQ(c.table[1].data[0], 0xA2);
  EXPECT_EQ(c.table[1].data[1], 0x50);
  EXPECT_EQ(c.table[1].data[2], 0x51);
  EXPECT_EQ(c.table[1].data[3], 0xFF);
  const Fivexx f = Read54(text);
  ASSERT_EQ(f.result.lastIndex, 1);
  EXPECT_EQ(f.table[1].address, 0x4000u + 226);
  EXPECT_EQ(f.table[1].data[0], 0xA2);
}

TEST(ReadImage, EveryByteAtItsAddressWhateverTheLineLength) {
  // Sections written with other line lengths, odd ones among them: each byte of the file at
  // its address, at most one pad byte behind a section of odd length, whole words per block.
  for (int perLine : {1, 3, 7, 15, 16, 17, 31, 32, 64, 250}) {
    for (int size : {1, 2, 101, 245, 246, 247, 480, 1001}) {
      std::map<std::uint32_t, std::uint8_t> expected;
      std::string text = "@2F01\r\n";
      for (int i = 0; i < size; i += perLine) {
        text += Line(std::min(perLine, size - i), i);
        for (int k = i; k < std::min(i + perLine, size); ++k)
          expected[0x2F01u + static_cast<std::uint32_t>(k)] = static_cast<std::uint8_t>(k);
      }
      text += "@8000\r\n" + Line(3, 0x70) + "q\r\n";
      for (std::uint32_t k = 0; k < 3; ++k) expected[0x8000 + k] = static_cast<std::uint8_t>(0x70 + k);
      SCOPED_TRACE(std::to_string(perLine) + " values per line, " + std::to_string(size) + " bytes");

      const Classic c = Read(text);
      ASSERT_TRUE(c.result.ok()) << ImageErrorText(c.result, "T.TXT", 1);
      std::map<std::uint32_t, std::uint8_t> got;
      for (int i = 0; i <= c.result.lastIndex; ++i) {
        const ImageBlock& b = c.table[static_cast<std::size_t>(i)];
        EXPECT_EQ(b.DataLength() % 2, 0);
        EXPECT_LE(b.DataLength(), static_cast<int>(kBlockDataMax));
        for (int k = 0; k < b.DataLength(); ++k)
          EXPECT_TRUE(got.emplace(b.address + static_cast<std::uint32_t>(k), b.data[k]).second);
      }
      const Fivexx f = Read54(text);
      ASSERT_TRUE(f.result.ok());
      std::map<std::uint32_t, std::uint8_t> got54;
      for (int i = 0; i <= f.result.lastIndex; ++i) {
        const ImageBlock54xx& b = f.table[static_cast<std::size_t>(i)];
        for (int k = 0; k < b.DataLength(); ++k) got54[b.address + static_cast<std::uint32_t>(k)] = b.data[k];
      }
      EXPECT_EQ(got, got54);
      // The pads: one behind each odd section, nothing else.
      for (std::uint32_t pad : {0x2F01u + static_cast<std::uint32_t>(size), 0x8003u}) {
        if (got.count(pad) && !expected.count(pad)) expected[pad] = got[pad];
      }
      EXPECT_EQ(got, expected);
      EXPECT_EQ(got.size(), static_cast<std::size_t>(size + size % 2 + 4));
    }
  }
}

TEST(ReadImage, ValuesWithAndWithoutTrailingBlank) {
  for (const char* line : {"AA BB CC\r\n", "AA BB CC \r\n", "aa bb cc\r\n"}) {
    const Classic c = Read(std::string("@1000\r\n") + line + "q");
    ASSERT_TRUE(c.result.ok()) << line;
    EXPECT_EQ(c.table[0].length, 8) << line;  // three values and the pad at the image's end
    EXPECT_EQ(c.table[0].data[0], 0xAA);
    EXPECT_EQ(c.table[0].data[1], 0xBB);
    EXPECT_EQ(c.table[0].data[2], 0xCC);
  }
}

TEST(ReadImage, TextAfterQIsIgnored) {
  const Classic c = Read("@2000\r\n" + Lines(1) + "q\r\n@3000\r\n" + Lines(3) + "garbage");
  ASSERT_TRUE(c.result.ok());
  EXPECT_EQ(c.result.lastIndex, 0);
  EXPECT_EQ(c.table[1].length, 0);
}

TEST(ReadImage, EmptySectionBlockIsReused) {
  const Classic c = Read("@3000\r\n@3100\r\n" + Lines(1) + "@3200\r\nq");
  ASSERT_EQ(c.result.lastIndex, 0);
  EXPECT_EQ(c.table[0].address, 0x3100);
  EXPECT_EQ(c.table[0].length, 20);
  EXPECT_EQ(c.table[1].address, 0);  // the trailing empty block is cleared
}

TEST(ReadImage, TextWithoutClosingQIsIncomplete) {
  // A file cut off after a whole line, in the middle of a line, and one that is empty.
  for (const std::string& text : {"@2000\r\n" + Lines(2), "@2000\r\n" + Lines(2) + "00 11 2", std::string()}) {
    std::vector<ImageBlock> table(2);
    int upper = 9;
    const ImageReadResult r = ReadImage(text.data(), text.size(), table.data(), 2, upper);
    EXPECT_EQ(r.error, ImageError::Incomplete) << text;
    EXPECT_EQ(upper, 9);
    const Fivexx f = Read54(text);
    EXPECT_EQ(f.result.error, ImageError::Incomplete) << text;
  }
}

TEST(ReadImage, DamagedLinesAreRefusedWithTheirNumber) {
  struct Case {
    const char* name;
    std::string line;  // the third line of the text
    ImageError error;
  } cases[] = {
      {"NUL inside", std::string("AA BB\0CC\r\n", 10), ImageError::Damaged},
      {"NUL as a value", std::string("AA \0\0 CC\r\n", 10), ImageError::Damaged},
      {"three digits", "AA BBB CC\r\n", ImageError::Damaged},
      {"one digit", "AA B\r\n", ImageError::Damaged},
      {"tab separator", "AA\tBB\r\n", ImageError::Damaged},
      {"two blanks between values", "AA  BB\r\n", ImageError::Damaged},
      {"blank before the first value", " AA BB\r\n", ImageError::Damaged},
      {"lone CR inside", "AA\rBB\r\n", ImageError::Damaged},
      {"byte beyond ASCII", "AA \xC4\xD6\r\n", ImageError::Damaged},
      {"\"q\" inside a line", "AA q\r\n", ImageError::Damaged},
      {"not hexadecimal", "AA BG CC\r\n", ImageError::BadValue},
      {"address with a blank", "@ 3200\r\n", ImageError::Damaged},
      {"address with a tab", "@3200\tAA\r\n", ImageError::Damaged},
      {"address with a NUL", std::string("@32\0" "0\r\n", 7), ImageError::Damaged},
      {"address not hexadecimal", "@31X0\r\n", ImageError::BadValue},
      {"address without digits", "@\r\n", ImageError::BadValue},
      {"address of nine digits", "@000003100\r\n", ImageError::BadValue},
  };
  for (const Case& k : cases) {
    const std::string text = "@3100\r\n" + Line(16) + k.line + Line(16) + "q\r\n";
    std::vector<ImageBlock> table(4);
    table[0].address = 0x1234;
    int upper = 5;
    const ImageReadResult r = ReadImage(text.data(), text.size(), table.data(), 4, upper);
    EXPECT_EQ(r.error, k.error) << k.name;
    EXPECT_EQ(r.line, 3) << k.name;
    EXPECT_EQ(table[0].address, 0x1234) << k.name;
    const Fivexx f = Read54(text);
    EXPECT_EQ(f.result.error, k.error) << k.name;
    EXPECT_EQ(f.result.line, 3) << k.name;
  }
}

TEST(ReadImage, AcceptedLineEndsBlanksAndCase) {
  const std::vector<std::uint8_t> bytes{0xAA, 0xBB, 0xCC, 0xDD};
  for (const std::string text :
       {"@1000\r\nAA BB\r\nCC DD\r\nq\r\n", "@1000\nAA BB\nCC DD\nq\n", "@1000\r\naa bb\ncC Dd\r\nq",
        "@1000  \r\nAA BB   \r\n\r\n   \r\nCC DD \nq", "\r\n@1000\r\nAA BB CC DD\r\nqgarbage\0\xFF"}) {
    const Classic c = Read(text);
    ASSERT_TRUE(c.result.ok()) << text << ImageErrorText(c.result, "T.TXT", 1);
    ASSERT_EQ(c.result.lastIndex, 0) << text;
    EXPECT_EQ(c.table[0].address, 0x1000);
    EXPECT_EQ(std::vector<std::uint8_t>(c.table[0].data, c.table[0].data + c.table[0].DataLength()), bytes)
        << text;
  }
}

TEST(ReadImage, SectionAt10000IsStoredAtZeroAndMarked) {
  const Classic c = Read("@10000\r\n" + Lines(1) + "q");
  ASSERT_EQ(c.result.lastIndex, 0);
  EXPECT_EQ(c.table[0].address, 0);
  EXPECT_EQ(c.upper, 0);
  const Fivexx f = Read54("@10000\r\n" + Lines(1) + "q");
  ASSERT_EQ(f.result.lastIndex, 0);
  EXPECT_EQ(f.table[0].address, 0x10000u);
  EXPECT_EQ(f.table[0].length, 22);
}

TEST(ReadImage, TopSegmentGoesBehindMarkerWhenUpperBlocksExist) {
  const Classic c = Read("@3100\r\n" + Lines(1) + "@FFE0\r\n" + Lines(2) + "@10000\r\n" + Lines(1) + "q");
  ASSERT_TRUE(c.result.ok());
  ASSERT_EQ(c.result.lastIndex, 3);
  EXPECT_EQ(Addresses(c), (std::vector<unsigned>{0x3100, 0x0000, 0x0000, 0xFFE0}));
  EXPECT_EQ(c.upper, 1);
  EXPECT_EQ(c.table[1].length, 20);
  EXPECT_EQ(c.table[2].length, 0);  // the marker
  EXPECT_EQ(c.table[3].length, 36);
  // Without upper blocks the order stays as in the file.
  const Classic plain = Read("@3100\r\n" + Lines(1) + "@FFE0\r\n" + Lines(2) + "q");
  EXPECT_EQ(Addresses(plain), (std::vector<unsigned>{0x3100, 0xFFE0}));
  EXPECT_EQ(plain.upper, -1);
}

TEST(ReadImage, SectionCrossing10000IsSplitThere) {
  // 0xFFF0 + 32 bytes: 16 below 0x10000, 16 above; the lower part lies in the top segment.
  const Classic c = Read("@3000\r\n" + Lines(1) + "@FFF0\r\n" + Lines(2) + "q");
  ASSERT_TRUE(c.result.ok());
  ASSERT_EQ(c.result.lastIndex, 3);
  EXPECT_EQ(Addresses(c), (std::vector<unsigned>{0x3000, 0x0000, 0x0000, 0xFFF0}));
  EXPECT_EQ(c.upper, 1);
  EXPECT_EQ(c.table[1].length, 20);
  EXPECT_EQ(c.table[1].data[0], 16);  // the 17th value of the section
  EXPECT_EQ(c.table[3].length, 20);
  EXPECT_EQ(c.table[3].data[15], 15);
}

TEST(ReadImage54xx, VectorAreaOrder) {
  struct Case {
    std::string text;
    std::vector<unsigned> order;
    int index, count;
  } cases[] = {
      {"@5C00\r\n" + Lines(2) + "@FF80\r\n" + Lines(8) + "q", {0x5C00, 0xFF80}, 1, 1},
      {"@FF80\r\n" + Lines(8) + "@5C00\r\n" + Lines(2) + "q", {0xFF80, 0x5C00}, 0, 1},
      {"@5C00\r\n" + Lines(2) + "@FF80\r\n" + Lines(8) + "@10000\r\n" + Lines(1) + "q",
       {0x5C00, 0x10000, 0xFF80}, 1, 1},
      // A block closed at the line limit that reaches 0xFE00 counts too.
      {"@FD10\r\n" + Lines(16) + "@20000\r\n" + Lines(1) + "q", {0xFD10, 0xFE00, 0x20000}, 0, 1},
      // Only the block closed at the limit counts, not its continuation at 0xFE00.
      {"@4000\r\n" + Lines(1) + "@FD10\r\n" + Lines(16) + "@20000\r\n" + Lines(1) + "q",
       {0x4000, 0xFE00, 0x20000, 0xFD10}, 1, 1},
  };
  for (const Case& k : cases) {
    const Fivexx f = Read54(k.text);
    ASSERT_TRUE(f.result.ok());
    EXPECT_EQ(Addresses(f), k.order) << k.text.substr(0, 6);
    EXPECT_EQ(f.vectorIndex, k.index);
    EXPECT_EQ(f.vectorCount, k.count);
  }
}

TEST(ReadImage54xx, LayoutAndPadding) {
  const Fivexx f = Read54("@5C01\r\nAA BB CC\r\n@6000\r\n" + Lines(16) + "q");
  ASSERT_EQ(f.result.lastIndex, 2);
  EXPECT_EQ(f.table[0].address, 0x5C01u);
  EXPECT_EQ(f.table[0].length, 6 + 4);
  EXPECT_EQ(f.table[0].data[3], 0xFF);
  EXPECT_EQ(f.table[1].length, 6 + 240);
  EXPECT_EQ(f.table[2].address, 0x6000u + 240);
  EXPECT_EQ(f.vectorIndex, -1);
  EXPECT_EQ(f.vectorCount, 0);
}

TEST(ReadImage, RefusesWhatDoesNotFit) {
  std::string sections21;
  for (int i = 0; i < 21; ++i) sections21 += "@" + std::to_string(3000 + i * 10) + "\r\n" + Line(2);
  struct Case {
    const char* name;
    std::string text;
    int maxBlocks;
    ImageError error;
    int line;
  } cases[] = {
      {"more blocks than the table", sections21 + "q", kPatchBlocks, ImageError::TooManyBlocks, 42},
      {"no room for the marker", "@3100\r\n" + Line(2) + "@FFE0\r\n" + Line(2) + "@10000\r\n" + Line(2) + "q", 3,
       ImageError::TooManyBlocks, 0},
      {"beyond the memory offset", "@20000\r\nAA BB\r\nq", kImageBlocks, ImageError::AddressTooHigh, 1},
      {"running into 0x20000", "@1FFF0\r\n" + Lines(2) + "q", kImageBlocks, ImageError::AddressTooHigh, 3},
      {"lower after upper", "@10000\r\n" + Line(2) + "@3100\r\n" + Line(2) + "q", kImageBlocks,
       ImageError::SectionOrder, 3},
      // A section at an odd address up to 0xFFFF has no room for its pad below 0x10000 (a fuzz
      // finding: the pad went to 0x10000, where the loader's 16-bit address wraps to 0x0000),
      // also where the section goes on above it; at 0x1FFFF the pad would lie beyond the offset.
      {"odd section ending at 0xFFFF", "@FFFD\r\nFF FF 00\r\nq\r\n", kImageBlocks, ImageError::OddEndAt64K, 3},
      {"odd section running across 0x10000", "@FFFD\r\n" + Line(5) + "q", kImageBlocks, ImageError::OddEndAt64K, 2},
      {"odd section ending at 0x1FFFF", "@1FFFD\r\nFF FF 00\r\nq\r\n", kImageBlocks, ImageError::AddressTooHigh, 3},
      {"data before a section", "\r\n\r\nAA BB\r\n@3100\r\nq", kImageBlocks, ImageError::DataBeforeSection, 3},
  };
  for (const Case& k : cases) {
    std::vector<ImageBlock> table(static_cast<std::size_t>(k.maxBlocks));
    table[0].address = 0x1234;
    int upper = 55;
    const ImageReadResult r = ReadImage(k.text.data(), k.text.size(), table.data(), k.maxBlocks, upper);
    EXPECT_EQ(r.error, k.error) << k.name;
    EXPECT_EQ(r.line, k.line) << k.name;
    EXPECT_EQ(table[0].address, 0x1234) << k.name << ": a refused image leaves the table alone";
    EXPECT_EQ(upper, 55) << k.name;
  }
  // Exactly as many blocks as the table holds is fine.
  const std::string twenty = sections21.substr(0, sections21.find("@3200")) + "q";
  EXPECT_EQ(Read(twenty, kPatchBlocks).result.lastIndex, 19);
  // The 5xx reader has no 0x20000 limit, and its 24-bit addresses carry a pad at 0x10000.
  EXPECT_TRUE(Read54("@20000\r\n" + Line(2) + "q").result.ok());
  EXPECT_TRUE(Read54("@FFFD\r\nFF FF 00\r\nq\r\n").result.ok());
}

TEST(LoadImageFile, RefusesMissingOversizedAndEmptyFiles) {
  const std::string dir = testsupport::MakeTempDir("loaders-load");
  const std::string patch = "@0220\r\n" + Lines(3) + "q\r\n";
  auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir + "/" + name, std::ios::binary) << text;
    return dir + "/" + name;
  };
  std::vector<ImageBlock> table(kPatchBlocks);
  int upper = -1;

  const std::string exact = write("EXACT.TXT", patch + std::string(kPatchBufferBytes - patch.size(), ' '));
  ImageReadResult r = LoadImageFile(exact, kPatchBufferBytes, table.data(), kPatchBlocks, upper);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.lastIndex, 0);
  EXPECT_EQ(table[0].address, 0x0220);

  const std::string big = write("BIG.TXT", patch + std::string(kPatchBufferBytes + 1 - patch.size(), ' '));
  EXPECT_EQ(LoadImageFile(big, kPatchBufferBytes, table.data(), kPatchBlocks, upper).error, ImageError::TooBig);
  EXPECT_EQ(LoadImageFile(dir + "/NONE.TXT", kPatchBufferBytes, table.data(), kPatchBlocks, upper).error,
            ImageError::CannotOpen);
  EXPECT_EQ(LoadImageFile(write("EMPTY.TXT", "q\r\n"), kPatchBufferBytes, table.data(), kPatchBlocks, upper).error,
            ImageError::NoData);
  // Package names are found without regard to case.
  EXPECT_TRUE(LoadImageFile(dir + "/exact.txt", kPatchBufferBytes, table.data(), kPatchBlocks, upper).ok());

  std::vector<ImageBlock54xx> table54(kImageBlocks);
  int vi = 0, vc = 0;
  EXPECT_EQ(LoadImage54xxFile(big, kPatchBufferBytes, table54.data(), kImageBlocks, vi, vc).error,
            ImageError::TooBig);
  EXPECT_TRUE(LoadImage54xxFile(big, kImage54xxBufferBytes, table54.data(), kImageBlocks, vi, vc).ok());
  std::filesystem::remove_all(dir);
}

TEST(ImageErrorText, NamesFileReasonAndLine) {
  const ImageReadResult r{-1, ImageError::BadValue, 12};
  EXPECT_EQ(ImageErrorText(r, "FW.TXT", 1), "File FW.TXT holds a value that is not hexadecimal (line 12) !");
  EXPECT_EQ(ImageErrorText({-1, ImageError::TooBig, 0}, "PATCH.TXT", 0), "Datei PATCH.TXT ist zu gro\xDF !");
  EXPECT_EQ(ImageErrorText({-1, ImageError::Damaged, 7}, "FW.TXT", 0), "Datei FW.TXT ist besch\xE4" "digt (Zeile 7) !");
  EXPECT_EQ(ImageErrorText({-1, ImageError::Damaged, 7}, "FW.TXT", 1), "File FW.TXT is damaged (line 7) !");
  EXPECT_EQ(ImageErrorText({-1, ImageError::Incomplete, 0}, "FW.TXT", 0),
            "Datei FW.TXT ist unvollst\xE4ndig (das abschlie\xDF" "ende \"q\" fehlt) !");
  EXPECT_EQ(ImageErrorText({-1, ImageError::Incomplete, 0}, "FW.TXT", 1),
            "File FW.TXT is incomplete (the closing \"q\" is missing) !");
  EXPECT_EQ(ImageErrorText({}, "FW.TXT", 1), "");
}
