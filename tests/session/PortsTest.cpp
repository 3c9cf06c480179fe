// How the window takes its ports and its start text from the package at start-up.
#include <gtest/gtest.h>

#include "SessionRig.h"
#include "comport/Comport.h"

namespace sessiontest {
namespace {

TEST(Ports, ComKeyOpensThatPortAloneAndTakesEveryMessageAsItsOwn) {
  sim::Instrument instrument(sim::InstrumentConfig{});
  SessionRig rig;
  Package p;
  p.updateIni = "Language=1\r\nVersion=V\r\nBaud=3\r\nCom=3\r\nException=\r\n";
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(4, 3, &instrument);
  auto& form = rig.Start();
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "Com3");
  EXPECT_EQ(form.PortCount, 1);
  EXPECT_TRUE(form.UpdateCom->IsOpen());
  EXPECT_EQ(form.PortTable[1], nullptr);
  EXPECT_EQ(form.PortIndexOf(3), 0);
  EXPECT_EQ(form.PortIndexOf(1), 0) << "in single-port mode every message belongs to entry 0";
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  EXPECT_EQ(form.InstrumentPort(), 0);
  EXPECT_EQ(rig.empties[0]->bytesSeen, 0) << "COM1 was never opened";
}

TEST(Ports, AllUsablePortsAreOpenedWithTheFirstPortsSettingsAndClosedAtTheEnd) {
  SessionRig rig;
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(3, 0, nullptr);
  auto& form = rig.Start();
  ASSERT_EQ(form.PortCount, 3);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "[Com1] [2] [3]");
  auto first = form.PortTable[0]->LoadV24Parameter();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(form.PortTable[static_cast<std::size_t>(i)]->IsOpen());
    EXPECT_EQ(form.PortTable[static_cast<std::size_t>(i)]->LoadV24Parameter(), first);
  }
  EXPECT_EQ(first.baud, 4800u);
  EXPECT_EQ(first.stopBits, platform::StopBits::Two);
  EXPECT_TRUE(first.discardNul);
  comport::TComPort* first0 = form.PortTable[0];
  form.Close();
  EXPECT_FALSE(first0->IsOpen());
  EXPECT_EQ(form.PortTable[1], nullptr);
}

TEST(Ports, StartTextOfTheConfiguredLanguageIsShownAtStartUp) {
  SessionRig rig;
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  rig.WritePackage(p);
  rig.Ports(1, 0, nullptr);
  auto& form = rig.Start();
  ASSERT_GE(form.UpdateMemo->Lines().size(), 2u);
  EXPECT_EQ(form.UpdateMemo->Lines()[0], "Welcome");
  EXPECT_EQ(form.UpdateMemo->Lines()[1], "Start with OK");
  EXPECT_TRUE(form.Englisch->Checked());
  EXPECT_FALSE(form.Deutsch->Checked());
}

}  // namespace
}  // namespace sessiontest
