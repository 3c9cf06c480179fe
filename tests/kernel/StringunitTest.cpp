#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/Stringunit.h"

namespace kernel {
namespace {

TEST(TextPos, FindsTheFirstOccurrenceAtOrAfterStart) {
  struct Case {
    std::string text, pattern;
    std::size_t start, expected;
  };
  const std::vector<Case> cases = {
      {"A.1000\r\n", "\r\n", 0, 7},
      {"1,2,3", ",", 3, 4},
      {"1,2,3", ",", 0, 2},
      {"1,2,3", ",", 1, 2},
      {"1,2,3", ",", 2, 2},
      {"abcabc", "abc", 2, 4},
      {"abcabc", "abc", 4, 4},
      {"abcabc", "abc", 5, 0},
      {"abc", "c", 3, 3},
      {"abc", "c", 4, 0},
      {"abc", "c", 1000, 0},
      {"abc", "", 0, 0},
      {"", "a", 0, 0},
      {"ab", "abc", 0, 0},
      {"ABC", "b", 0, 0},
      {"x\xF6y", "\xF6", 0, 2},
      {std::string("a\0b", 3), "b", 0, 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TextPos(c.text, c.pattern, c.start), c.expected)
        << "'" << c.text << "' '" << c.pattern << "' from " << c.start;
}

TEST(TextInsert, InsertsAtValidPositionsWithinCapacity) {
  struct Case {
    std::string buffer, insert;
    std::size_t pos, capacity;
    bool ok;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"ABC", "XY", 2, npos, true, "AXYBC"},
      {"ABC", "Z", 4, npos, true, "ABCZ"},
      {"ABC", "Z", 1, npos, true, "ZABC"},
      {"", "Z", 1, npos, true, "Z"},
      {"ABC", "", 2, npos, true, "ABC"},
      {"ABC", "XY", 2, 5, true, "AXYBC"},
      {"ABC", "XY", 2, 4, false, "ABC"},
      {"ABC", "Z", 0, npos, false, "ABC"},
      {"ABC", "Z", 5, npos, false, "ABC"},
      {"", "Z", 2, npos, false, ""},
      {"ABC", "Z", 4, 3, false, "ABC"},
  };
  for (const Case& c : cases) {
    std::string buffer = c.buffer;
    EXPECT_EQ(TextInsert(c.insert, buffer, c.pos, c.capacity), c.ok)
        << c.buffer << " + " << c.insert << " at " << c.pos;
    EXPECT_EQ(buffer, c.expected);
  }
}

TEST(TextDelete, RemovesRangesInsideTheText) {
  struct Case {
    std::string buffer;
    std::size_t pos, count;
    bool ok;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"NAME wird programmiert !!\r\n\r\n", 1, 4, true, " wird programmiert !!\r\n\r\n"},
      {"ABCDE", 2, 3, true, "AE"},
      {"ABCDE", 5, 1, true, "ABCD"},
      {"ABCDE", 1, 5, true, ""},
      {"ABCDE", 3, 0, true, "ABCDE"},
      {"ABCDE", 6, 0, true, "ABCDE"},
      {"ABCDE", 4, 3, false, "ABCDE"},
      {"ABCDE", 6, 1, false, "ABCDE"},
      {"ABCDE", 0, 1, false, "ABCDE"},
      {"ABCDE", 7, 0, false, "ABCDE"},
      {"ABCDE", 2, npos, false, "ABCDE"},
  };
  for (const Case& c : cases) {
    std::string buffer = c.buffer;
    EXPECT_EQ(TextDelete(buffer, c.pos, c.count), c.ok)
        << c.buffer << " at " << c.pos << " count " << c.count;
    EXPECT_EQ(buffer, c.expected);
  }
}

TEST(HexToInt, ReadsUpToFourDigitsWithTheLoaderDigitRule) {
  struct Case {
    std::string text;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"4A", 74},    {"FFFF", 65535}, {"", 0},       {"0", 0},        {"ff", 255},
      {"1a2B", 0x1A2B}, {"0010", 16}, {"9", 9},      {"12345", 0x1234}, {"ABCDEF", 0xABCD},
      // Non-digits are converted by the same rule rather than rejected.
      {"G", 16},     {"1G", 32},      {"/", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(HexToInt(c.text), c.expected) << "'" << c.text << "'";
}

TEST(Converters, MapBytesToUnitsAndUnitsToLowBytes) {
  EXPECT_EQ(AnsiToWide("\xF6"), std::u16string(1, char16_t{0x00F6}));
  EXPECT_EQ(WideToAnsi(std::u16string(1, char16_t{0x20AC})), "\xAC");

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string wide = AnsiToWide(all);
  ASSERT_EQ(wide.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(wide[static_cast<std::size_t>(b)], char16_t(b));
  EXPECT_EQ(WideToAnsi(wide), all);

  // No length limit, and each result is a value of its own.
  const std::string longText(5000, 'x');
  const std::u16string first = AnsiToWide(longText);
  const std::u16string second = AnsiToWide("ab");
  EXPECT_EQ(first.size(), 5000u);
  EXPECT_EQ(second, u"ab");
  EXPECT_EQ(WideToAnsi(first), longText);
}

}  // namespace
}  // namespace kernel
