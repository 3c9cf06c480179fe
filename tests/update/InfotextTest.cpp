#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "procedure/Infotext.h"
#include "update/MenuTexts.h"

using namespace update;
using namespace procedure;

TEST(Catalogue, EveryTextFitsItsSlotAndBothLanguagesExist) {
  for (int i = 0; i < MsgCount; ++i) {
    const CatalogueEntry& e = Entry(static_cast<Msg>(i));
    EXPECT_LT(std::strlen(e.german), e.width) << i;
    EXPECT_LT(std::strlen(e.english), e.width) << i;
    EXPECT_GT(std::strlen(e.german), 0u) << i;
    EXPECT_GT(std::strlen(e.english), 0u) << i;
  }
  EXPECT_STREQ(Text(static_cast<Msg>(MsgCount + 3), 0), "");
}

TEST(Catalogue, SelectedTextsAreExactWindows1252) {
  EXPECT_STREQ(Text(MsgNoNameFound, 1), "No NAME found !!\r\nProgram is aborted !!");
  EXPECT_STREQ(Text(MsgConfirmWithOk, 0), "Best\xE4tigen Sie dies danach mit dem Ok-Button!\r\n");
  EXPECT_STREQ(Text(MsgUnableToOpenTermL, 0), "L3_TermL.A37 konnte nicht ge\xF6" "ffnet werden");
  EXPECT_STREQ(Text(MsgTransmitError, 0), "Fehler in der Daten\xFC" "bertragung !!\r\n");
  EXPECT_STREQ(Text(MsgNoDeviceFound, 1),
               "No device found !!\r\nIs the meter correctly connected an switched on?\r"
               "Repeat automatic search with Ok");
  EXPECT_STREQ(Text(MsgBootloaderNotAvailable, 0),
               "Bootloader im Zielger\xE4t nicht verf\xFC" "gbar!!  Programmierung wurde abgebrochen.");
  EXPECT_STREQ(Text(MsgDefaultDevice, 0), "Ger\xE4t");
  EXPECT_STREQ(ErrorCaption(0), "Fehler");
  EXPECT_STREQ(ErrorCaption(1), "Error");
  EXPECT_STREQ(InfoCaption(0), "Info");
  EXPECT_STREQ(Text(MsgUpdateReady, 0), "Update [beendet]");
  EXPECT_STREQ(Text(MsgUpdateReady, 5), "Update [beendet]");  // unknown language: German
  EXPECT_EQ(Entry(MsgDownloadSuccessful).width, 300u);
  EXPECT_EQ(Entry(MsgCaptionInfo).width, 12u);
}

TEST(Placeholders, Expansion) {
  struct Case {
    const char* text;
    PlaceholderContext ctx;
    const char* expanded;
  } cases[] = {
      {"No NAME found !!", {"", "", 1, 3}, "No device found !!"},
      {"Kein NAME gefunden", {"", "", 0, 3}, "Kein Ger\xE4t gefunden"},
      {"NAME and NAME", {"", "Oxi 3310", 1, 3}, "Oxi 3310 and Oxi 3310"},
      {"COM X and COM X.", {"", "", 1, 12}, "COM 12 and COM 12."},
      {"COM X", {"", "", 1, -1}, "COM "},
      {"COMX COM  X", {"", "", 1, 5}, "COMX COM  X"},
      {"first\\rsecond", {}, "first\r\nsecond"},
      {"\\r\\r", {}, "\r\n\r\n"},
      {"File DATEI.", {"MY_DATEI.TXT", "", 0, 1}, "File MY_DATEI.TXT."},
      {"NAME", {"", "A NAME B", 0, 1}, "A NAME B"},
      {"DATEI NAME", {"NAME.TXT", "dev", 0, 1}, "dev.TXT dev"},  // passes run in order
      {"name datei com x", {"F", "D", 0, 1}, "name datei com x"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandPlaceholders(c.text, c.ctx), c.expanded) << c.text;
}

TEST(Placeholders, FillXAndSecondLine) {
  EXPECT_EQ(FillX(Text(MsgDownloadMayLast, 1), "3"),
            "The download may last up to 3 minutes !\r\n\r\n");
  EXPECT_EQ(FillX(Text(MsgLatestVersionInDevice, 0), " 1.02").substr(0, 35),
            "Die aktuelle Software-Version 1.02 ");
  EXPECT_EQ(FillX("none", "1"), "none");

  EXPECT_EQ(SecondLine("A\r\nB b\r\nC"), "B b\r\n");
  EXPECT_EQ(SecondLine("A\r\nB\r\n"), "B\r\n");
  EXPECT_EQ(SecondLine("A\r\n\r\nC"), "\r\n");
  EXPECT_FALSE(SecondLine("A\r\nB"));
  EXPECT_FALSE(SecondLine("no break"));
}

TEST(TitleProgress, ReservedRangesClampAndFormat) {
  struct Case {
    float percent;
    int language;
    const char* title;
    const char* panel4;
    const char* text;
    bool repaint;
  } cases[] = {
      {45, 0, "Update [ 45.0 %]", " 45.0 %", " 45.0 %", true},
      {5, 1, "Update [ 5.0 %]", " 5.0 %", " 5.0 %", true},
      {0, 1, "Update [ 0.0 %]", " 0.0 %", " 0.0 %", true},
      {150, 1, "Update [ 100.0 %]", " 100.0 %", " 100.0 %", true},
      {-1, 1, "Update", "", " -1.0 %", false},
      {-1.999f, 1, "Update", "", " -2.0 %", false},
      {-2, 1, "Update [ -2.0 %]", " -2.0 %", " -2.0 %", true},
      {-5, 0, "Update [ -5.0 %]", " -5.0 %", " -5.0 %", true},
      {-999, 0, "Update [ -999.0 %]", " -999.0 %", " -999.0 %", true},
      {-1000, 0, "Update [beendet]", "Update [beendet]", " -1000.0 %", false},
      {-1000, 1, "Update [ready]", "Update [ready]", " -1000.0 %", false},
      {std::numeric_limits<float>::quiet_NaN(), 1, "Update [ 0.0 %]", " 0.0 %", " 0.0 %", true},
      {std::numeric_limits<float>::infinity(), 1, "Update [ 100.0 %]", " 100.0 %", " 100.0 %", true},
  };
  for (const auto& c : cases) {
    TitleProgress p = ComputeTitleProgress("", c.percent, c.language);
    EXPECT_EQ(p.title, c.title) << c.percent;
    EXPECT_EQ(p.panel4, c.panel4) << c.percent;
    EXPECT_EQ(p.percentText, c.text) << c.percent;
    EXPECT_EQ(p.repaintStatusBar, c.repaint) << c.percent;
  }
  EXPECT_EQ(ComputeTitleProgress("Block 3", 12.25f, 1).panel4, "Block 3 12.2 %");
  EXPECT_EQ(ComputeTitleProgress("P", -1, 1).panel4, "");
}

TEST(TitleProgress, TitleTimerPercent) {
  TitleTimerState t;
  t.Start(10);
  EXPECT_FLOAT_EQ(t.Tick(), 10.0f);
  for (int i = 2; i < 10; ++i) t.Tick();
  EXPECT_FLOAT_EQ(t.Tick(), 100.0f);
  EXPECT_EQ(ComputeTitleProgress("", t.Tick(), 1).title, "Update [ 100.0 %]");  // 110 clamps
  EXPECT_EQ(t.count, 11);
  t.Start(0);
  EXPECT_FLOAT_EQ(t.Tick(), 100.0f);
  EXPECT_FLOAT_EQ(TitleTimerPercent(1, -3), 100.0f);
  EXPECT_FLOAT_EQ(TitleTimerPercent(3, 12), 25.0f);
}

TEST(MenuTexts, ReadmeVersionBoxLanguageFileAndHiddenKeys) {
  EXPECT_STREQ(ReadmeDocument(0, 0), "Firmwareupdate_Messgeraete.pdf");
  EXPECT_STREQ(ReadmeDocument(1, 4), "Firmwareupdate_meters.pdf");
  EXPECT_STREQ(ReadmeDocument(1, 3), "Readme_Firmware-Update_KVS_Sensors_RNT-M_DE.pdf");
  EXPECT_STREQ(ReadmeDocument(0, 2), "Readme_Firmware-Update_KVS_Sensors_RNT-M_DE.pdf");
  EXPECT_EQ(VersionBoxText("1.02"), "     Version 1.02" + std::string(27, ' '));
  EXPECT_STREQ(LanguageFile(0), "Update.Deu");
  EXPECT_STREQ(LanguageFile(1), "Update.Eng");
  EXPECT_TRUE(kDebugKey.Matches(0x7B, 1 | 2));
  EXPECT_TRUE(kDebugKey.Matches(0x7B, 1 | 2 | 4));  // a further modifier is ignored
  EXPECT_FALSE(kDebugKey.Matches(0x7B, 2));
  EXPECT_FALSE(kDebugKey.Matches(0x7A, 1 | 2));
  const HiddenKey keys[] = {kClockKey, kDebugKey, kVersionTestKey, kAnyFileKey};
  for (const auto& a : keys)
    for (const auto& b : keys) {
      if (&a != &b) {
        EXPECT_FALSE(a.key == b.key && a.modifiers == b.modifiers);
      }
    }
}
