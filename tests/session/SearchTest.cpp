// The instrument search through ports and baud rates, against simulated instruments.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"

namespace sessiontest {
namespace {

Package DefaultPackage() {
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
  return p;
}

int Count(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<int>(std::count(v.begin(), v.end(), s));
}

TEST(Search, FindsTheInstrumentAt19200OnTheThirdOfThreePorts) {
  sim::InstrumentConfig c;
  c.baud = 19200;
  sim::Instrument instrument(c);
  SessionRig rig;
  rig.WritePackage(DefaultPackage());
  rig.Ports(3, 3, &instrument);
  auto& form = rig.Start();
  EXPECT_EQ(form.UpdateStatusBar->PanelText(0), "[Com1] [2] [3]");
  rig.form->OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  EXPECT_EQ(form.InstrumentPort(), 2);
  EXPECT_EQ(form.UpdateStatusBar->PanelText(1), "Com3");
  EXPECT_EQ(form.UpdateStatusBar->PanelText(2), "19200");
  // The default list tries 4800 and 9600 first: the instrument's framing errors at those
  // rates move the search on, so only probes at 19200 reach it as commands.
  auto cmds = instrument.Commands();
  EXPECT_GE(Count(cmds, "A.1111"), 1);
  std::vector<std::uint32_t> rates;
  for (const auto& w : rig.empties[0]->writes)
    if (w.bytes == "A.1111\r\n" && (rates.empty() || rates.back() != w.baud)) rates.push_back(w.baud);
  ASSERT_GE(rates.size(), 3u);
  EXPECT_EQ(rates[0], 4800u);
  EXPECT_EQ(rates[1], 9600u);
  EXPECT_EQ(rates[2], 19200u);
}

TEST(Search, StartModeOneProbesWithCommandMode) {
  sim::Instrument instrument(sim::InstrumentConfig{});
  SessionRig rig;
  Package p = DefaultPackage();
  p.rows[0].devStartCmd = "2";  // StartMode 1
  rig.WritePackage(p);
  rig.Ports(1, 1, &instrument);
  auto& form = rig.Start();
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.session.IdentityStep >= 1; }, 60000));
  auto cmds = instrument.Commands();
  ASSERT_GE(cmds.size(), 2u);
  EXPECT_EQ(cmds[0], "A.1000");
  // The acknowledgement of the probe goes straight to the first identity command.
  EXPECT_EQ(cmds[1], "A.2003");
  EXPECT_EQ(Count(cmds, "A.1111"), 0);
}

TEST(Search, NoInstrumentAtAllReportsTwiceAndEndsTheProgram) {
  SessionRig rig;
  Package p = DefaultPackage();
  rig.WritePackage(p);
  rig.Ports(1, 0, nullptr);
  auto& form = rig.Start();
  std::vector<std::uint32_t> probeTimes;
  form.OkBitBtn->Click();
  ASSERT_TRUE(rig.RunUntil([&] { return form.Closed(); }, 10 * 60 * 1000));
  // The hint comes once per search: the no-device report clears it.
  ASSERT_EQ(rig.Boxes().size(), 4u);
  EXPECT_EQ(rig.Boxes()[0].icon, platform::BoxIcon::Information);
  EXPECT_EQ(rig.Boxes()[0].text, "Put the meter into boot mode\r\nConfirm with the Ok-button!\r\n");
  EXPECT_EQ(rig.Boxes()[1].text,
            "No device found !!\r\nIs the meter correctly connected an switched on?\rRepeat automatic search with Ok");
  EXPECT_EQ(rig.Boxes()[1].caption, "Error");
  EXPECT_EQ(rig.Boxes()[2].text, rig.Boxes()[0].text);
  EXPECT_EQ(rig.Boxes()[3].text, "No device found !!\r\nProgram is aborted !!");

  // Per search: at each of the five rates the prefix and the probe, 6000 ms apart; then at
  // the loader's 9600 baud the two wake-up frames 6000 ms apart.
  const auto& w = rig.empties[0]->writes;
  std::vector<const NothingConnected::Write*> probes, wakes;
  for (const auto& x : w) {
    if (x.bytes == "A.1111\r\n") probes.push_back(&x);
    if (x.bytes == "\x80" || x.bytes == std::string("\x85\x01\x00\x1A", 4)) wakes.push_back(&x);
  }
  ASSERT_EQ(probes.size(), 10u);
  ASSERT_EQ(wakes.size(), 4u);
  const std::uint32_t rates[] = {4800, 9600, 19200, 2400, 1200};
  for (int s = 0; s < 2; ++s) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(probes[static_cast<std::size_t>(s * 5 + i)]->baud, rates[i]);
    for (int i = 1; i < 5; ++i) {
      auto gap = probes[static_cast<std::size_t>(s * 5 + i)]->ms - probes[static_cast<std::size_t>(s * 5 + i - 1)]->ms;
      EXPECT_EQ(gap, 6000u) << "search " << s << " probe " << i;
    }
    EXPECT_EQ(wakes[static_cast<std::size_t>(2 * s)]->bytes, "\x80");
    EXPECT_EQ(wakes[static_cast<std::size_t>(2 * s)]->baud, 9600u);
    EXPECT_EQ(wakes[static_cast<std::size_t>(2 * s + 1)]->ms - wakes[static_cast<std::size_t>(2 * s)]->ms, 6000u);
  }
}

}  // namespace
}  // namespace sessiontest
