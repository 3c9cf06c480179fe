#include <gtest/gtest.h>

#include <filesystem>

#include "ConfigTestUtil.h"
#include "platform/Files.h"
#include "platform/Headless.h"
#include "update/Config.h"

using namespace update;
using testutil::CrLf;
using testutil::ScopedCwd;
using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

// A device block of n lines: a header, the given keys, and filler comment lines.
std::vector<std::string> Block(std::vector<std::string> keys, std::size_t n = 16) {
  keys.insert(keys.begin(), "[Device]");
  while (keys.size() < n) keys.push_back("; filler");
  return keys;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> blocks) {
  std::vector<std::string> out;
  for (const auto& b : blocks) {
    out.insert(out.end(), b.begin(), b.end());
    out.push_back("");
  }
  return out;
}

}  // namespace

TEST(ConfigLookup, FirstMatchingKeyWithoutRegardToCase) {
  std::vector<std::string> lines = {"[Section]", "baud=3", "Baud=4", "NoEquals", "Com = 3",
                                    "Version=1.0=beta"};
  EXPECT_EQ(LookupValue(lines, "BAUD"), "3");
  EXPECT_EQ(LookupValue(lines, "Version"), "1.0=beta");
  EXPECT_EQ(LookupValue(lines, "Com"), "");  // "Com " is another key
  EXPECT_EQ(LookupValue(lines, "NoEquals"), "");
  EXPECT_EQ(LookupValue(lines, "[Section]"), "");
}

TEST(ConfigUpdateIni, BaudLists) {
  struct Case {
    const char* value;
    std::vector<std::int32_t> items;
  } cases[] = {
      {"3", {3}},
      {"4,2", {4, 2}},
      {"", {2, 3, 4, 1, 0}},
      {" , ,", {2, 3, 4, 1, 0}},
      {"5, 1x,abc,", {5, 1, 0}},
      {"9,99999999999", {9, INT32_MAX}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseBaudList(c.value).items, c.items) << c.value;

  std::string many;
  for (int i = 0; i < 20; ++i) many += std::to_string(i % 6) + ",";
  bool cut = false;
  BaudList list = ParseBaudList(many, &cut);
  EXPECT_TRUE(cut);
  ASSERT_EQ(list.Count(), BaudList::kMax);
  EXPECT_EQ(list.items[15], 3);
  UpdateIni ini = ParseUpdateIni({"Baud=" + many});
  EXPECT_EQ(ini.baud.Count(), 16u);
  EXPECT_EQ(ini.warnings.size(), 1u);
}

TEST(ConfigUpdateIni, KeysAndDefinedValuesForBadInput) {
  UpdateIni ini = ParseUpdateIni(
      {"language=1", "Version=2.5 beta", "Com=3", "Exception=xx NOVERSIONTEST", "Baud=4,2"});
  EXPECT_EQ(ini.language, 1);
  EXPECT_EQ(ini.version, "2.5 beta");
  EXPECT_TRUE(ini.singlePortMode);
  EXPECT_EQ(ini.fixedPort, 2);
  EXPECT_TRUE(ini.noVersionTest);
  EXPECT_EQ(ini.baud.items, (std::vector<std::int32_t>{4, 2}));

  UpdateIni none = ParseUpdateIni({});
  EXPECT_EQ(none.language, 0);
  EXPECT_FALSE(none.singlePortMode);
  EXPECT_FALSE(none.noVersionTest);
  EXPECT_EQ(none.baud.Count(), 5u);

  for (const char* lang : {"2", "9", "-1", "x", "", "01"})
    EXPECT_EQ(ParseUpdateIni({std::string("Language=") + lang}).language, 0) << lang;
  EXPECT_EQ(ParseUpdateIni({"Language=1x"}).language, 1);

  UpdateIni badCom = ParseUpdateIni({"Com=COM3"});
  EXPECT_TRUE(badCom.singlePortMode);
  EXPECT_EQ(badCom.fixedPort, -1);
  EXPECT_EQ(ParseUpdateIni({"Com=0"}).fixedPort, -1);
  EXPECT_EQ(ParseUpdateIni({"Exception=noversiontest"}).noVersionTest, false);
}

TEST(ConfigProgDevice, RowValuesAndConversions) {
  auto lines = Concat({Block({"DevStartCmd=1", "DeviceNrDef=XXXXX", "DeviceNr=21130",
                              "DeviceName=pH 3310", "ProgFile1=boot.txt",
                              "ProgFile2=fw_a.txt,sub\\*.*", "ProgFile3=second.hex@",
                              "SWKenn1=VER\\r\\nX", "SWKenn2=56 45 52 ", "SWKenn3=S1094000",
                              "BootLoadKenn=BL V1", "FlashErase2=0xFC00", "ProgDefFile=def.txt",
                              "ProzTyp=5438"}),
                       Block({"DeviceNr=21130.5", "DeviceNrDef=1234", "ProzTyp=0xF16Cz"})});
  ProgDevice pd = ParseProgDevice(lines);
  ASSERT_EQ(pd.table.Count(), 2u);
  const DeviceRow& r = pd.table.rows[0];
  EXPECT_EQ(r.deviceNr, "21130.000");
  EXPECT_EQ(r.deviceNrDef, "XXXXX.000");
  EXPECT_EQ(r.deviceName, "pH 3310");
  EXPECT_EQ(r.progFile1, "BOOT.TXT");
  EXPECT_EQ(r.progFile2, "FW_A.TXT,SUB\\*.*");
  EXPECT_EQ(r.progFile3, "SECOND.HEX@");
  EXPECT_EQ(r.swKenn1, "VER\r\n");
  EXPECT_EQ(r.swKenn2, "56 45 52 ");
  EXPECT_EQ(r.swKenn3, "S1094000");
  EXPECT_EQ(r.bootLoadKenn, "BL V1");
  EXPECT_EQ(r.flashErase2, "0xFC00");
  EXPECT_EQ(r.progDefFile, "DEF.TXT");
  EXPECT_EQ(r.prozTyp, 21560);
  EXPECT_EQ(pd.table.rows[1].deviceNr, "21130.5");
  EXPECT_EQ(pd.table.rows[1].deviceNrDef, "1234");
  EXPECT_EQ(pd.table.rows[1].prozTyp, 0xF16C);
  EXPECT_EQ(pd.fileType, 1);
}

TEST(ConfigProgDevice, HexAndStartModeConversions) {
  struct Hex {
    const char* text;
    std::int32_t value;
  } hex[] = {{"5438", 21560}, {"0x1F", 31}, {" ff", 255}, {"", 0}, {"zz", 0}, {"0x", 0},
             {"123456789", 0x12345678}, {"FFFFFFFF", -1}};
  for (const auto& h : hex) EXPECT_EQ(ParseHex(h.text), h.value) << h.text;

  struct Mode {
    const char* text;
    std::int32_t mode;
    bool close;
  } modes[] = {{"1", 0, false}, {"3", 2, false}, {"5", 4, false}, {"6", 0, true},
               {"7", 1, false}, {"9", 3, false}, {"0", 0, false}, {"", 0, false}, {"x", 0, false}};
  for (const auto& m : modes) {
    bool close = false;
    EXPECT_EQ(ParseStartMode(m.text, &close), m.mode) << m.text;
    EXPECT_EQ(close, m.close) << m.text;
  }
}

TEST(ConfigProgDevice, BlockSizesTextBlockAndStartModeFromLastRow) {
  auto lines = Concat({Block({"DeviceNr=1", "DevStartCmd=6"}, 10),  // 10 lines: ignored
                       Block({"DeviceNr=2", "DevStartCmd=2"}, 11),  // 11 lines: a row
                       {"StarttextD=alt", "StarttextE=old", "AbbruchtextD=a", "AbbruchtextE=b"},
                       {"StarttextD=Hallo\\rWelt", "StarttextE=Hello", "AbbruchtextD=x\\ry\\rz",
                        "AbbruchtextE=q"},
                       {"StarttextD=five", "StarttextE=lines", "AbbruchtextD=are", "AbbruchtextE=no",
                        "block"},
                       Block({"DeviceNr=3", "DevStartCmd=4"}, 12)});
  ProgDevice pd = ParseProgDevice(lines);
  ASSERT_EQ(pd.table.Count(), 2u);
  EXPECT_EQ(pd.table.rows[0].deviceNr, "2");
  EXPECT_EQ(pd.table.rows[1].deviceNr, "3");
  EXPECT_EQ(pd.startMode, 3);
  EXPECT_FALSE(pd.closeForHintMark);  // the 6 stood in the ignored block
  EXPECT_EQ(pd.texts.StartText(0), "Hallo\\rWelt");  // expanded only when shown
  EXPECT_EQ(pd.texts.StartText(1), "Hello");
  EXPECT_EQ(pd.texts.AbortText(0), "x\\ry\\rz");
  EXPECT_EQ(pd.texts.AbortText(1), "q");
  EXPECT_EQ(pd.texts.StartText(7), "Hallo\\rWelt");

  // A line of blanks does not end a block; several empty lines in a row are harmless.
  std::vector<std::string> blanks = Block({"DeviceNr=4"}, 6);
  blanks.push_back("   ");
  auto more = Block({}, 5);
  blanks.insert(blanks.end(), more.begin(), more.end());
  blanks.insert(blanks.end(), {"", "", "", ""});
  EXPECT_EQ(ParseProgDevice(blanks).table.Count(), 1u);
  EXPECT_EQ(ParseProgDevice({}).table.Count(), 0u);
  EXPECT_EQ(ParseProgDevice({"", "", ""}).fileType, 0);
}

TEST(ConfigProgDevice, CapacitiesRowLimitAndFileType) {
  std::string longText(1000, 'a');
  auto lines = Concat({Block({"DeviceNr=" + longText, "DeviceName=" + longText,
                              "ProgFile1=" + longText, "ProgFile2=" + longText + ".EXE",
                              "SWKenn2=" + longText, "BootLoadKenn=" + longText,
                              "FlashErase1=" + longText, "ProgDefFile=" + longText}),
                       {"StarttextD=" + longText, "StarttextE=", "AbbruchtextD=", "AbbruchtextE="}});
  ProgDevice pd = ParseProgDevice(lines);
  const DeviceRow& r = pd.table.rows.at(0);
  EXPECT_EQ(r.deviceNr.size(), 11u);
  EXPECT_EQ(r.deviceName.size(), 31u);
  EXPECT_EQ(r.progFile1, std::string(31, 'A'));
  EXPECT_EQ(r.progFile2.size(), 511u);
  EXPECT_EQ(r.swKenn2.size(), 63u);
  EXPECT_EQ(r.bootLoadKenn.size(), 63u);
  EXPECT_EQ(r.flashErase1.size(), 11u);
  EXPECT_EQ(r.progDefFile.size(), 31u);
  EXPECT_EQ(pd.texts.starttextD.size(), 799u);
  EXPECT_EQ(pd.fileType, 0);  // ".EXE" was cut off

  std::vector<std::string> rows;
  for (int i = 0; i < 300; ++i) {
    auto b = Block({"DeviceNr=" + std::to_string(i), "DevStartCmd=" + std::string(i == 299 ? "3" : "1")}, 11);
    rows.insert(rows.end(), b.begin(), b.end());
    rows.push_back("");
  }
  ProgDevice big = ParseProgDevice(rows);
  EXPECT_EQ(big.table.Count(), DeviceTable::kMaxRows);
  EXPECT_EQ(big.table.rows.back().deviceNr, "254");
  EXPECT_EQ(big.startMode, 2);  // every row still sets the mode
  EXPECT_EQ(big.warnings.size(), 1u);

  struct Type {
    const char* progFile2;
    std::int32_t type;
  } types[] = {{"A.TXT", 1}, {"A.EXE", 2}, {"A.HEX", 3}, {"A.TXT,B.EXE", 3}, {"A.BIN", 0},
               {"A.MOT", 0}, {"", 0}};
  for (const auto& t : types) EXPECT_EQ(StartupFileType(t.progFile2), t.type) << t.progFile2;
}

TEST(ConfigProgDevice, ProgDefFileForProcessorType) {
  DeviceTable t;
  t.rows.resize(2);
  t.rows[0].prozTyp = 0xF16C;
  t.rows[0].progDefFile = "A.TXT";
  t.rows[1].prozTyp = 0xF16C;
  t.rows[1].progDefFile = "B.TXT";
  EXPECT_EQ(ProgDefFileFor(t, 0xF16C), "A.TXT");
  EXPECT_EQ(ProgDefFileFor(t, 0x1234), "");
  EXPECT_EQ(ProgDefFileFor(t, 0), "");
}

TEST(ConfigFolderRule, MirrorOnlyBelowProgramFiles) {
  struct Case {
    const char* cwd;
    const char* pf;
    const char* pub;
    const char* mirror;
  } cases[] = {
      {"/opt/pkg", "/opt", "/home/u/.local/share/firmware-update", "/home/u/.local/share/firmware-update/pkg"},
      {"/opt/a/b", "/opt/", "/pub", "/pub/a/b"},
      {"/opt", "/opt", "/pub", "/pub"},
      {"/optional/pkg", "/opt", "/pub", ""},
      {"/home/u/opt/pkg", "/opt", "/pub", ""},
      {"/opt/pkg", "", "/pub", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MirrorFolderFor(c.cwd, c.pf, c.pub), c.mirror) << c.cwd;
}

TEST(ConfigFiles, MissingFilesShowTheStartupMessages) {
  platform::HeadlessApplication app;
  TempDir d;
  ScopedCwd cwd(d.Path());
  ScopedEnv pf("ProgramFiles", d / "nowhere");
  UpdateIni ini;
  ProgDevice pd;
  EXPECT_EQ(ReadUpdateIni("Update.ini", ini), -1);
  EXPECT_EQ(ReadProgDevice("ProgDevice.ini", pd), -1);
  EXPECT_FALSE(SaveLanguage("Update.ini", 0, "1.0"));
  ASSERT_EQ(app.Boxes().size(), 3u);
  EXPECT_EQ(app.Boxes()[0].text, "Konfigurationsdatei 1 nicht vorhanden!!Programm wird beendet");
  EXPECT_EQ(app.Boxes()[1].text, "Konfigurationsdatei 2 nicht vorhanden!!Programm wird beendet");
  EXPECT_EQ(app.Boxes()[2].text, app.Boxes()[0].text);
  for (const auto& b : app.Boxes()) {
    EXPECT_EQ(b.caption, "Error");
    EXPECT_EQ(b.icon, platform::BoxIcon::Error);
    EXPECT_EQ(b.buttons, platform::BoxButtons::Ok);
  }
  EXPECT_FALSE(platform::files::Exists(d / "Update.ini"));
}

TEST(ConfigFiles, SamplePackageReadsAndNamesAreFoundWithoutRegardToCase) {
  platform::HeadlessApplication app;
  TempDir d;
  testutil::CopyPackage(d.Path());
  std::filesystem::rename(d / "ProgDevice.ini", d / "PROGDEVICE.INI");
  ScopedCwd cwd(d.Path());
  ScopedEnv pf("ProgramFiles", d / "nowhere");
  UpdateIni ini;
  ProgDevice pd;
  ASSERT_EQ(ReadUpdateIni("Update.ini", ini), 0);
  ASSERT_EQ(ReadProgDevice("ProgDevice.ini", pd), 0);
  EXPECT_TRUE(app.Boxes().empty());
  EXPECT_EQ(ini.language, 1);
  EXPECT_EQ(ini.version, "1.02");
  EXPECT_EQ(ini.baud.items, (std::vector<std::int32_t>{2, 3, 4, 1, 0}));
  EXPECT_FALSE(ini.singlePortMode);
  ASSERT_GE(pd.table.Count(), 2u);
  const DeviceRow& demo = pd.table.rows[0];
  EXPECT_EQ(demo.deviceNr, "28160.000");
  EXPECT_EQ(demo.deviceNrDef, "12345.000");
  EXPECT_EQ(demo.deviceName, "Oxi 3310 DEMO");
  EXPECT_EQ(demo.progFile2, "FW_DEMO.TXT");
  EXPECT_EQ(demo.swKenn2, "56 45 52 53 3A ");
  EXPECT_EQ(demo.prozTyp, 0xF16C);
  EXPECT_EQ(demo.flashErase2, "0xFC00");
  EXPECT_TRUE(demo.bootLoadKenn.empty());
  EXPECT_EQ(pd.startMode, 0);
  EXPECT_EQ(pd.fileType, 1);
  EXPECT_NE(pd.texts.StartText(1).find("\\r"), std::string::npos);
  for (int lang : {0, 1}) {
    const std::string& abort = pd.texts.AbortText(lang);
    auto first = abort.find("\\r");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(abort.find("\\r", first + 2), std::string::npos) << "the hint needs a second line";
  }
}

TEST(ConfigFiles, SaveLanguageWritesFiveLinesInTheEncodingRead) {
  platform::HeadlessApplication app;
  TempDir d;
  ScopedCwd cwd(d.Path());
  ScopedEnv pf("ProgramFiles", d / "nowhere");
  d.Write("Update.ini", "\xEF\xBB\xBF" + CrLf({"; comment", "[Settings]", "Language=1",
                                                "Com=4", "Baud=3", "Extra=1", "Version=old",
                                                "Exception=NOVERSIONTEST"}));
  ASSERT_TRUE(SaveLanguage("Update.ini", 0, "2.00"));
  EXPECT_EQ(d.Read("Update.ini"),
            "\xEF\xBB\xBF" + CrLf({"Language=0", "Version=2.00", "Baud=3", "Com=4",
                                    "Exception=NOVERSIONTEST"}));
  UpdateIni ini;
  ASSERT_EQ(ReadUpdateIni("Update.ini", ini), 0);
  EXPECT_EQ(ini.language, 0);
  EXPECT_EQ(ini.fixedPort, 3);
}

TEST(ConfigFiles, MirrorFolderCreatedAndUsedFromTheNextStart) {
  platform::HeadlessApplication app;
  TempDir root;
  std::string pfRoot = root / "Program Files";
  std::string pubRoot = root / "Public";
  std::string pkg = pfRoot + "/Vendor/Pkg";
  std::filesystem::create_directories(pkg);
  testutil::CopyPackage(pkg);
  ScopedEnv pf("ProgramFiles", pfRoot), pub("PUBLIC", pubRoot);
  ScopedCwd cwd(pkg);
  const std::string mirror = pubRoot + "/Vendor/Pkg";

  // First start: the mirror folder is created, the package's own file is read.
  UpdateIni ini;
  ASSERT_EQ(ReadUpdateIni("Update.ini", ini), 0);
  EXPECT_TRUE(platform::files::IsFolder(mirror));
  EXPECT_EQ(ConfigFolder(), mirror);
  EXPECT_EQ(ini.language, 1);

  // The language change writes into the mirror and leaves the package untouched.
  ASSERT_TRUE(SaveLanguage("Update.ini", 0, ini.version));
  auto written = platform::files::LoadLines(mirror + "/Update.ini");
  ASSERT_TRUE(written);
  EXPECT_EQ(written->lines, (std::vector<std::string>{"Language=0", "Version=1.02",
                                                      "Baud=2,3,4,1,0", "Com=", "Exception="}));
  EXPECT_NE(root.Read("Program Files/Vendor/Pkg/Update.ini").find("Language=1"), std::string::npos);

  // Next start: the mirror's file is the one read.
  UpdateIni next;
  ASSERT_EQ(ReadUpdateIni("Update.ini", next), 0);
  EXPECT_EQ(next.language, 0);
  EXPECT_TRUE(app.Boxes().empty());
}
