// The package check on its own: identity fields set as the dialogue leaves them, then
// CheckInstrument on a window started in a written package.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "SessionRig.h"

namespace sessiontest {
namespace {

struct CheckBench {
  SessionRig rig;
  update::TUpdateForm* form = nullptr;
  explicit CheckBench(Package p) {
    if (p.files.empty()) p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
    rig.WritePackage(p);
    rig.Ports(1, 0, nullptr);
    form = &rig.Start();
    form->Record().Clear();
  }
  procedure::DeviceRecord& R() { return form->Record(); }
};

Package SensorPackage(const std::string& devStartCmd) {
  Package p;
  p.rows[0].devStartCmd = devStartCmd;
  // A sensor row names the sensor type in the digits after the point.
  p.rows[0].deviceNr = "28160.12";
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("3.20");
  return p;
}

TEST(Check, SensorModeTakesTheSensorPartsAndSwitchesToModeTwo) {
  CheckBench b(SensorPackage("4"));  // start mode 3
  auto& r = b.R();
  r.pcbNumber = "11111.000,12345.123";
  r.deviceNumber = "21130.000,28160.000";
  r.softwareVersion = "1.20,3.10";
  r.deviceVersion = 1200;
  r.deviceSecondVersion = 3100;
  r.serialNumber = "1111,14210045";
  ASSERT_TRUE(b.form->CheckInstrument());
  EXPECT_EQ(r.deviceNumber, "28160.123") << "the PCB's digits after the point replace the device's";
  EXPECT_EQ(r.pcbNumber, "12345.123");
  EXPECT_EQ(r.deviceVersion, 3100);
  EXPECT_EQ(r.deviceSecondVersion, 0);
  EXPECT_EQ(r.softwareVersion, "3.10");
  EXPECT_EQ(b.form->SWStaticText->Caption(), "3.10");
  EXPECT_EQ(r.serialNumber, "14210045");
  EXPECT_EQ(b.form->StartMode(), procedure::StartModeTag::Sensor);
  EXPECT_TRUE(b.form->SensorUpdateFlag);
  EXPECT_EQ(b.form->session.FollowUpCommand, "A.1230\r\n");
}

TEST(Check, SensorModeWithoutASensorAsksAndMayGoOn) {
  for (auto answer : {platform::BoxResult::No, platform::BoxResult::Yes}) {
    CheckBench b(SensorPackage("3"));  // start mode 2
    auto& r = b.R();
    r.pcbNumber = "12345.000";
    r.deviceNumber = "28160.123";
    r.softwareVersion = "1.20";
    b.rig.app.QueueAnswer(answer);
    bool ok = b.form->CheckInstrument();
    ASSERT_FALSE(b.rig.Boxes().empty());
    EXPECT_EQ(b.rig.Boxes().back().text, "kein digitaler Sensor angeschlossen ?\r\n\r\nTrotzdem fortfahren ?");
    EXPECT_EQ(b.rig.Boxes().back().caption, "Info");
    EXPECT_EQ(ok, answer == platform::BoxResult::Yes);
    if (ok) {
      EXPECT_TRUE(r.noSensorFlag);
      EXPECT_FALSE(b.form->session.SensorPresent);
      EXPECT_EQ(r.softwareVersion, "X.XX");
      EXPECT_EQ(r.deviceNumber, "28160.12") << "the first row's device number";
      EXPECT_EQ(r.serialNumber, "XXXXXXXX");
    }
  }
}

TEST(Check, PatternItemsAddTheFilesOfTheirFolderInUpperCase) {
  Package p;
  p.rows[0].progFile2 = "FW_TEST.TXT,DATA\\*.*,EXTRA.BIN,EMPTY\\*.*";
  CheckBench b(p);
  std::filesystem::create_directories(b.rig.folder + "/data");
  std::filesystem::create_directories(b.rig.folder + "/empty");
  std::ofstream(b.rig.folder + "/data/a.cfg") << "x";
  std::ofstream(b.rig.folder + "/data/B.tbl") << "y";
  auto& r = b.R();
  r.deviceNumber = "28160.000";
  r.pcbNumber = "12345.000";
  r.softwareVersion = "1.01";
  r.deviceVersion = 1010;
  ASSERT_TRUE(b.form->CheckInstrument());
  EXPECT_EQ(r.firstProgramFile, "FW_TEST.TXT");
  std::vector<std::string> want = {"DATA\\A.CFG", "DATA\\B.TBL", "EXTRA.BIN"};
  EXPECT_EQ(r.fileList, want) << "an empty folder adds nothing";
}

TEST(Check, PackageFilesThatAreMissingEmptyOrDamagedAreNamed) {
  struct Case {
    std::string content;  // "" with missing: the file is not in the package
    bool missing;
    std::string box;
  };
  for (const Case& c : {Case{"", true, "The package file OTHER.TXT is missing !"},
                        Case{"", false, "The package file OTHER.TXT is empty !"},
                        Case{"@3100\r\n01 02 03\r\n", false, "incomplete"},
                        Case{"@3100\r\n01 0X 03\r\nq\r\n", false, "OTHER.TXT"}}) {
    Package p;
    p.rows[0].progFile2 = "OTHER.TXT";
    if (!c.missing) p.files["OTHER.TXT"] = c.content;
    CheckBench b(p);
    auto& r = b.R();
    r.deviceNumber = "28160.000";
    EXPECT_FALSE(b.form->CheckInstrument());
    ASSERT_FALSE(b.rig.Boxes().empty());
    EXPECT_NE(b.rig.Boxes().back().text.find(c.box), std::string::npos) << b.rig.Boxes().back().text;
    EXPECT_TRUE(b.rig.MemoHas(b.rig.Boxes().back().text)) << "the log says it too";
  }
}

TEST(Check, AnEmptyDeviceNumberTakesTheSearchByPcbNumber) {
  Package p;
  p.rows[0].deviceNrDef = "12345";
  CheckBench b(p);
  auto& r = b.R();
  r.deviceNumber = "";
  r.pcbNumber = "12345.000";
  EXPECT_TRUE(b.form->CheckInstrument());
  EXPECT_EQ(r.firstProgramFile, "FW_TEST.TXT");
}

TEST(Check, FlashEraseValuesAndTheAtFlags) {
  Package p;
  p.rows[0].progFile2 = "FW_TEST.TXT@";
  p.rows[0].flashErase2 = "0xF000";
  CheckBench b(p);
  auto& r = b.R();
  r.deviceNumber = "28160.000";
  r.softwareVersion = "1.01";
  r.deviceVersion = 1010;
  ASSERT_TRUE(b.form->CheckInstrument());
  EXPECT_EQ(r.firstProgramFile, "FW_TEST.TXT");
  EXPECT_TRUE(r.firstFileAtFlag);
  EXPECT_EQ(r.flashErase[1], 0xF000);
  EXPECT_EQ(b.form->FileType(), procedure::FileTypeTag::Txt);
}

TEST(Check, StartUpProgramBlockIsFoundInTheFileList) {
  struct Case {
    std::string progFile2;
    int first, last;
  };
  for (const Case& c : {Case{"FW_TEST.TXT,APP.EXE,TORVEXSTARTUP.EXE,LIB.DLL,NOTE.TXT", 1, 2},
                        Case{"FW_TEST.TXT,TORVEXSTARTUP.EXE,LIB.DLL", 0, 0}}) {
    Package p;
    p.rows[0].progFile2 = c.progFile2;
    p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
    for (const char* f : {"APP.EXE", "TORVEXSTARTUP.EXE", "LIB.DLL", "NOTE.TXT"}) p.files[f] = "MZ";
    CheckBench b(p);
    auto& r = b.R();
    r.deviceNumber = "28160.000";
    r.softwareVersion = "1.01";
    r.deviceVersion = 1010;
    ASSERT_TRUE(b.form->CheckInstrument()) << c.progFile2;
    EXPECT_EQ(b.form->session.StartupFirst, c.first) << c.progFile2;
    EXPECT_EQ(b.form->session.StartupLast, c.last) << c.progFile2;
    EXPECT_EQ(r.packageVersion, "1.02") << "the best version of the files stays the package's";
  }
}

TEST(Check, RefusalSetsTheClockInItsDateValueForm) {
  sim::InstrumentConfig c;
  c.version = "1.30";
  sim::Instrument instrument(c);
  SessionRig rig;
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.20");
  rig.WritePackage(p);
  rig.Ports(1, 1, &instrument);
  rig.Start();
  ASSERT_TRUE(rig.RunSession());
  EXPECT_EQ(instrument.ClockCount(), 1);
  // Days since 30 December 1899 with six decimals.
  std::string v = instrument.ClockValue();
  ASSERT_EQ(v.size(), 12u) << v;
  EXPECT_EQ(v[5], '.');
  EXPECT_GT(std::stod(v), 45000.0);
}

}  // namespace
}  // namespace sessiontest
