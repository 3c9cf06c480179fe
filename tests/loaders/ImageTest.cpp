// TI-TXT images into programming blocks: block layout, padding, the 0x10000 split and the
// reordering of the top segment, the 5xx vector area, and the refusals at the buffer limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

TEST(ReadImage, OddBlockAtLineLimitIsPaddedWithZero) {
  // 14 full lines and one of 3 values: 227 bytes when the 15th line ends.
  const Classic c = Read("@4000\r\n" + Lines(14) + Line(3, 0xA0) + Line(2, 0x50) + "q\r\n");
  ASSERT_EQ(c.result.lastIndex, 1);
  EXPECT_EQ(c.table[0].length, 4 + 228);
  EXPECT_EQ(c.table[0].data[226], 0xA2);
  EXPECT_EQ(c.table[0].data[227], 0x00);
  EXPECT_EQ(c.table[1].address, 0x4000 + 228);
  EXPECT_EQ(c.table[1].length, 6);
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

TEST(ReadImage, EndOfTextEndsTheImageWithoutQ) {
  const Classic c = Read("@2000\r\n" + Lines(2));
  ASSERT_TRUE(c.result.ok());
  EXPECT_EQ(c.result.lastIndex, 0);
  EXPECT_EQ(c.table[0].length, 36);
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
  std::string tooManyValues = "@3100\r\n";
  for (int i = 0; i < 15; ++i) tooManyValues += Line(17);
  std::string sections21;
  for (int i = 0; i < 21; ++i) sections21 += "@" + std::to_string(3000 + i * 10) + "\r\n" + Line(2);
  struct Case {
    const char* name;
    std::string text;
    int maxBlocks;
    ImageError error;
    int line;
  } cases[] = {
      {"more than 246 bytes in a block", tooManyValues, kImageBlocks, ImageError::BlockTooLong, 16},
      {"more blocks than the table", sections21, kPatchBlocks, ImageError::TooManyBlocks, 42},
      {"no room for the marker", "@3100\r\n" + Line(2) + "@FFE0\r\n" + Line(2) + "@10000\r\n" + Line(2), 3,
       ImageError::TooManyBlocks, 0},
      {"not hexadecimal", "@3100\r\nAA BG CC\r\n", kImageBlocks, ImageError::BadValue, 2},
      {"blank before the first value", "@3100\r\n AA BB\r\n", kImageBlocks, ImageError::BadValue, 2},
      {"bad address", "@31X0\r\nAA BB\r\n", kImageBlocks, ImageError::BadValue, 1},
      {"beyond the memory offset", "@20000\r\nAA BB\r\n", kImageBlocks, ImageError::AddressTooHigh, 1},
      {"running into 0x20000", "@1FFF0\r\n" + Lines(2), kImageBlocks, ImageError::AddressTooHigh, 3},
      {"lower after upper", "@10000\r\n" + Line(2) + "@3100\r\n" + Line(2), kImageBlocks,
       ImageError::SectionOrder, 3},
      {"data before a section", "\r\n\r\nAA BB\r\n@3100\r\n", kImageBlocks, ImageError::DataBeforeSection, 3},
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
  const std::string twenty = sections21.substr(0, sections21.find("@3200"));
  EXPECT_EQ(Read(twenty, kPatchBlocks).result.lastIndex, 19);
  // The 5xx reader has no 0x20000 limit but the same table and block limits.
  const Fivexx f = Read54("@20000\r\n" + Line(2) + tooManyValues);
  EXPECT_TRUE(f.result.ok() == false && f.result.error == ImageError::BlockTooLong);
  EXPECT_TRUE(Read54("@20000\r\n" + Line(2)).result.ok());
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
  EXPECT_EQ(ImageErrorText({}, "FW.TXT", 1), "");
}
