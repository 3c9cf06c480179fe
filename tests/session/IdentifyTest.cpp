// Identification and the package check, whole sessions against simulated instruments.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"

namespace sessiontest {
namespace {

Package PackageAt(const std::string& version) {
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion(version);
  return p;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

struct Bench {
  // The instrument outlives the window that holds its port open.
  std::unique_ptr<sim::Instrument> instrument;
  SessionRig rig;
  Bench(const Package& p, sim::InstrumentConfig c) {
    rig.WritePackage(p);
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    rig.Ports(1, 1, instrument.get());
    rig.Start();
  }
};

TEST(Identify, WrongDeviceIsRefusedWithTheNamesOfThePackage) {
  Package p = PackageAt("1.02");
  PackageRow second = p.rows[0];
  second.deviceNr = "28101";
  second.deviceName = "Oxi 3210";
  p.rows.push_back(second);
  sim::InstrumentConfig c;
  c.device = "21130.000";
  c.pcb = "99999.000";
  Bench r(p, c);
  ASSERT_TRUE(r.rig.RunSession());
  EXPECT_TRUE(r.rig.form->OkBitBtn->Enabled());
  ASSERT_FALSE(r.rig.Boxes().empty());
  EXPECT_EQ(r.rig.Boxes().back().text, "Wrong device connected !!");
  EXPECT_TRUE(r.rig.MemoHas("Download is for an Oxi 3310, Oxi 3210 !")) ;
  auto cmds = r.instrument->Commands();
  EXPECT_EQ(cmds.back(), "A.1121") << "the end command of a TXT package";
  EXPECT_EQ(r.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Refused);
}

TEST(Identify, NewerInstrumentIsRefused) {
  sim::InstrumentConfig c;
  c.version = "1.30";
  Bench r(PackageAt("1.20"), c);
  ASSERT_TRUE(r.rig.RunSession());
  ASSERT_FALSE(r.rig.Boxes().empty());
  EXPECT_EQ(r.rig.Boxes().back().text, "No valid software version !!");
  EXPECT_TRUE(r.rig.MemoHas("The software version1.30 in your device is more up to date"));
  EXPECT_EQ(r.instrument->Commands().back(), "A.1121");
  EXPECT_EQ(r.rig.form->UpdateStatusBar->PanelText(3), "Version 1.20");
}

TEST(Identify, SameVersionDeclinedEndsWithTheEndCommand) {
  sim::InstrumentConfig c;
  c.version = "1.02";
  Bench r(PackageAt("1.02"), c);
  r.rig.app.QueueAnswer(platform::BoxResult::No);
  ASSERT_TRUE(r.rig.RunSession());
  ASSERT_FALSE(r.rig.Boxes().empty());
  EXPECT_EQ(r.rig.Boxes().back().buttons, platform::BoxButtons::YesNo);
  EXPECT_EQ(r.rig.Boxes().back().text,
            "The latest software version1.02 is already in device.\r\nDo you want to continue the download nevertheless?");
  EXPECT_EQ(r.instrument->Commands().back(), "A.1121");
  EXPECT_EQ(r.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::NotNeeded);
}

TEST(Identify, NoVersionTestAsksThreeIdentityCommands) {
  Package p = PackageAt("1.02");
  p.updateIni = "Language=1\r\nVersion=V\r\nBaud=3\r\nCom=\r\nException=NOVERSIONTEST\r\n";
  Bench r(p, sim::InstrumentConfig{});
  ASSERT_TRUE(r.rig.RunSession());
  auto cmds = r.instrument->Commands();
  EXPECT_TRUE(Has(cmds, "A.2003"));
  EXPECT_TRUE(Has(cmds, "A.2000"));
  EXPECT_FALSE(Has(cmds, "A.2001"));
  EXPECT_TRUE(Has(cmds, "A.4001"));
  EXPECT_EQ(r.rig.form->Record().softwareVersion, "1.00");
}

TEST(Identify, AVersionBelowPoint064SkipsTheSerialNumber) {
  sim::InstrumentConfig c;
  c.version = "0.05";
  Bench r(PackageAt("1.02"), c);
  ASSERT_TRUE(r.rig.RunSession());
  auto cmds = r.instrument->Commands();
  EXPECT_TRUE(Has(cmds, "A.2001"));
  EXPECT_FALSE(Has(cmds, "A.4001"));
  EXPECT_EQ(r.rig.form->Record().serialNumber, " ");
}

}  // namespace
}  // namespace sessiontest
