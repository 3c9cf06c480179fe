#include <gtest/gtest.h>

#include <filesystem>

#include "ConfigTestUtil.h"
#include "platform/Components.h"
#include "update/Discovery.h"

using namespace update;
using testutil::TempDir;

namespace {

DeviceTable Table(std::vector<std::string> progFile2) {
  DeviceTable t;
  for (auto& p : progFile2) {
    DeviceRow r;
    r.progFile2 = p;
    t.rows.push_back(r);
  }
  return t;
}

}  // namespace

TEST(Discovery, ExclusionsOrderAndListBoxNames) {
  TempDir d;
  for (const char* f : {"abc_eep.mot", "ABC.MOT", "VERSION.TXT", "version.mot", "fw.txt",
                        "tool.EXE", "lib.dll", "x.hex", "img.bin", "eepdata.bin", "notes.doc"})
    d.Write(f, "");
  std::filesystem::create_directories(d / "dir.txt");
  Discovery r = DiscoverFirmwareFiles(d.Path(), Table({"FW.TXT"}));
  EXPECT_EQ(r.downloadList, (std::vector<std::string>{"ABC.MOT", "VERSION.MOT", "FW.TXT", "TOOL.EXE",
                                                      "LIB.DLL", "X.HEX", "IMG.BIN"}));
  EXPECT_EQ(r.listBoxNames,
            (std::vector<std::string>{"ABC", "VERSION", "FW", "TOOL", "LIB", "X", "IMG"}));
  EXPECT_TRUE(r.enableLab);
  ASSERT_TRUE(r.programmingVisible);
  EXPECT_FALSE(*r.programmingVisible);  // "FW.TXT" is in no *.mot name
  EXPECT_TRUE(r.warnings.empty());
}

TEST(Discovery, LastMotFileDecidesTheSubmenuAndRowsEnableTheirItems) {
  TempDir d;
  d.Write("A_PH.MOT", "");
  d.Write("B_OTHER.mot", "");
  d.Write("C_COND.mot", "");
  Discovery r = DiscoverFirmwareFiles(d.Path(), Table({"A_PH", "NOPE", "", "C_COND"}));
  ASSERT_TRUE(r.programmingVisible);
  EXPECT_FALSE(*r.programmingVisible);
  EXPECT_EQ(r.enableDevice, (std::array<bool, 4>{true, false, false, true}));
  EXPECT_FALSE(r.enableLab);

  Discovery last = DiscoverFirmwareFiles(d.Path(), Table({"C_COND"}));
  EXPECT_TRUE(last.programmingVisible.value_or(false));

  // A row that does not exist (or an empty ProgFile2) matches nothing.
  Discovery none = DiscoverFirmwareFiles(d.Path(), Table({}));
  EXPECT_FALSE(none.programmingVisible.value_or(true));
  EXPECT_EQ(none.enableDevice, (std::array<bool, 4>{}));

  TempDir empty;
  EXPECT_FALSE(DiscoverFirmwareFiles(empty.Path(), Table({"X"})).programmingVisible);
}

TEST(Discovery, AtMost160FilesAndApplyToTheMenu) {
  TempDir d;
  for (int i = 0; i < 170; ++i) d.Write("f" + std::to_string(1000 + i) + ".txt", "");
  d.Write("z.mot", "");
  Discovery r = DiscoverFirmwareFiles(d.Path(), Table({"Z.MOT", "F1005"}));
  ASSERT_EQ(r.downloadList.size(), Discovery::kMaxFiles);
  EXPECT_EQ(r.downloadList.front(), "Z.MOT");
  EXPECT_EQ(r.downloadList.back(), "F1158.TXT");
  EXPECT_EQ(r.warnings.size(), 1u);

  platform::Form form(nullptr, "F");
  auto* menu = new platform::MainMenu(&form, "M");
  auto& prog = *new platform::MenuItem(&form, &menu->Root(), "TGZ48Programming");
  prog.SetVisible(false);
  std::array<platform::MenuItem*, 4> dev{};
  for (auto*& m : dev) {
    m = new platform::MenuItem(&form, &prog, "Dev");
    m->SetEnabled(false);
  }
  auto& lab = *new platform::MenuItem(&form, &prog, "LabXXX");
  lab.SetEnabled(false);
  auto& box = *new platform::ListBox(&form, &form, "DLListBox");
  box.Add("stale");
  ApplyDiscovery(r, &prog, dev, &lab, &box);
  EXPECT_TRUE(prog.Visible());
  EXPECT_TRUE(dev[0]->Enabled());
  EXPECT_FALSE(dev[1]->Enabled());
  EXPECT_TRUE(lab.Enabled());
  EXPECT_EQ(box.Lines().size(), 160u);
  EXPECT_EQ(box.Lines().front(), "Z");
  ApplyDiscovery(Discovery{}, nullptr, {}, nullptr, nullptr);  // null targets are skipped
}
