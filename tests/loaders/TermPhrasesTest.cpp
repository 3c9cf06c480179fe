// The Basic-Loader terminal's phrase matcher and its check of the S-record image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaders/SRecordImage.h"
#include "loaders/TermPhrases.h"

namespace {

using loaders::term::PhraseMatcher;
using Codes = std::vector<std::int32_t>;

Codes Feed(PhraseMatcher& m, const std::string& text) {
  m.Append(text.data(), text.size());
  return m.Match();
}

TEST(PhraseMatcher, EachPhraseGivesItsCodeOnce) {
  struct Case {
    const char* text;
    std::int32_t code;
  } cases[] = {
      {"Basic-Loader  |", 100},          {"Basic-Loader / 1.01", 101},          {"Basic-Loader / 1.02", 101},
      {"Flash-Memory erased !", 102},    {"Flash-Memory (1/2) erased !", 103},  {"Flash-Memory programmed", 104},
      {"Waiting for S-Record !", 105},   {"S-Record defect!", 108},             {"Record defekt!", 108},
      {"Ready PC ?  Seg=0", 110},        {"Ready PC ?  Seg=1", 111},            {"Erasing Flash-Memory (1) !", 112},
      {"Erasing Flash-Memory (2) !", 112}, {"Flash-Memory (1) programmed !", 104}, {"Flash-Memory (2) programmed !", 104},
      {"\xA1\x48\x20\x14", 104},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PhraseMatcher m;
    EXPECT_EQ(Feed(m, std::string("\r\n") + c.text + "\r\n"), Codes{c.code});
    EXPECT_EQ(m.Text(), "\r\n\r\n") << "only the phrase is taken out";
    EXPECT_EQ(m.Match(), Codes{});
  }
}

TEST(PhraseMatcher, PhraseSplitOverTwoReadsIsFoundWhenItsRestArrives) {
  PhraseMatcher m;
  EXPECT_EQ(Feed(m, "\r\nWaiting for S-Re"), Codes{});
  EXPECT_EQ(Feed(m, "cord !\r\n"), Codes{105});
  EXPECT_EQ(Feed(m, "\xA1\x48"), Codes{});
  EXPECT_EQ(Feed(m, std::string("\x20\x14", 2)), Codes{104});
}

TEST(PhraseMatcher, CodesComeInTheOrderOfTheText) {
  PhraseMatcher m;
  // One read with the erase, its end and the request for the file, as a fast loader says it.
  EXPECT_EQ(Feed(m, "Erasing Flash-Memory (1) !\r\nFlash-Memory (1/2) erased !\r\nWaiting for S-Record !\r\n"),
            (Codes{112, 103, 105}));
  EXPECT_EQ(Feed(m, "\r\nBasic-Loader / 1.02\r\nReady PC ?  Seg=1\r\n"), (Codes{101, 111}));
}

TEST(PhraseMatcher, APhraseTwiceInOneReadIsReportedAgainOnTheNextPass) {
  PhraseMatcher m;
  EXPECT_EQ(Feed(m, "S-Record defect!\r\nS-Record defect!\r\n"), Codes{108});
  EXPECT_EQ(Feed(m, "x"), Codes{108});
  EXPECT_EQ(m.Match(), Codes{});
}

// Text that no phrase takes must not fill the buffer for good: the oldest goes first, and a
// phrase behind a flood of noise is still found.
TEST(PhraseMatcher, UnmatchedTextNeverGrowsBeyondTheCapacity) {
  PhraseMatcher m;
  const std::string noise(150, '.');
  for (int i = 0; i < 100; ++i) {
    m.Append(noise.data(), noise.size());
    m.Match();
    ASSERT_LE(m.Text().size(), PhraseMatcher::kCapacity);
  }
  EXPECT_EQ(m.Text().size(), PhraseMatcher::kCapacity);
  EXPECT_EQ(Feed(m, "Flash-Memory (1) programmed !"), Codes{104});
  // A read larger than the buffer keeps its newest bytes.
  std::string big(PhraseMatcher::kCapacity + 500, '-');
  big += "Waiting for S-Record !";
  EXPECT_EQ(Feed(m, big), Codes{105});
  // Part of a phrase at the very start of a full buffer is lost with the oldest text.
  PhraseMatcher cut;
  std::string tail = "S-Record defect!";
  std::string fill(PhraseMatcher::kCapacity - 4, ' ');
  cut.Append(tail.data(), 4);
  cut.Append(fill.data(), fill.size());
  EXPECT_EQ(Feed(cut, "xy"), Codes{});
  EXPECT_EQ(cut.Text().size(), PhraseMatcher::kCapacity);
}

TEST(SRecordFile, WellFormedFilesAndTheFirstFault) {
  // S0 header, two S1 records, S5 with the count 2, S9 with the entry.
  const std::string good =
      "S00600004844521B\r\n"
      "S107000001020304EE\r\n"
      "S10600100A0B0CC8\r\n"
      "S5030002FA\r\n"
      "S9030000FC\r\n";
  struct Case {
    const char* what;
    std::string file;
    bool ok;
    std::size_t line;
  } cases[] = {
      {"good", good, true, 0},
      {"LF line ends, an empty line, lower-case digits", "S107000001020304ee\n\nS9030000FC\n", true, 0},
      {"CR line ends, no end after the last", "S107000001020304EE\rS9030000FC", true, 0},
      {"wrong checksum", "S107000001020304EF\r\nS9030000FC\r\n", false, 1},
      {"reserved S4", "S107000001020304EE\r\nS4030000FC\r\nS9030000FC\r\n", false, 2},
      {"odd digits", "S10700000102030EE\r\nS9030000FC\r\n", false, 1},
      {"count too large", "S108000001020304EE\r\nS9030000FC\r\n", false, 1},
      {"not a hex digit", "S10700000102G304EE\r\nS9030000FC\r\n", false, 1},
      {"data on the end record", "S107000001020304EE\r\nS9040000AA51\r\n", false, 2},
      {"count record disagrees", "S107000001020304EE\r\nS5030002FA\r\nS9030000FC\r\n", false, 2},
      {"no end record", "S107000001020304EE\r\n", false, 1},
      {"a record after the end", "S9030000FC\r\nS107000001020304EE\r\n", false, 2},
      {"text instead of a record", "S107000001020304EE\r\nhello\r\nS9030000FC\r\n", false, 2},
      {"trailing blank", "S107000001020304EE \r\nS9030000FC\r\n", false, 1},
      {"empty file", "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    loaders::SRecordFileCheck r = loaders::CheckSRecordFile(c.file);
    EXPECT_EQ(r.ok, c.ok) << r.why;
    if (!c.ok) {
      EXPECT_EQ(r.line, c.line) << r.why;
    }
  }
  EXPECT_EQ(loaders::CheckSRecordFile(good).dataRecords, 2u);
}

}  // namespace
