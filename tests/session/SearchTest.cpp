// The instrument search through ports and baud rates, against simulated instruments.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"
#include "platform/SerialLoopback.h"

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

namespace sessiontest {
namespace {

// Random bytes on a port, as a floating input or another device would give.
class NoisyPort : public platform::LoopbackPeer {
 public:
  void Attach(platform::LoopbackLine* line) override { line_ = line; }
  void OnHostBytes(const std::uint8_t*, std::size_t n, const platform::LineSettings&) override {
    std::vector<std::uint8_t> noise(n * 3);
    for (auto& b : noise) b = static_cast<std::uint8_t>(next_ = next_ * 1103515245u + 12345u) ;
    // Each burst carries the bytes a careless parser would take for boot markers.
    noise[noise.size() / 3] = 0x90;
    noise[noise.size() / 2] = 'Q';
    if (line_) line_->Emit(noise.data(), noise.size());
  }

 private:
  platform::LoopbackLine* line_ = nullptr;
  std::uint32_t next_ = 7;
};

TEST(Search, AnInstrumentBesideANoisyPortIsFoundAndUpdated) {
  sim::InstrumentConfig c;
  c.loader.version = 0x0150;
  sim::Instrument instrument(c);
  std::string error;
  ASSERT_TRUE(instrument.LoadFirmware(TiTxtWithVersion("1.01"), &error)) << error;
  NoisyPort noise;
  SessionRig rig;
  Package p = DefaultPackage();
  rig.WritePackage(p);
  // The noise on COM1 answers every probe before the instrument on COM2 does.
  platform::RegisterLoopbackPort(1, &noise);
  platform::RegisterLoopbackPort(2, &instrument);
  rig.registered = {1, 2};
  rig.Start();
  ASSERT_TRUE(rig.RunSession());
  EXPECT_EQ(rig.form->InstrumentPort(), 1);
  EXPECT_TRUE(rig.form->SessionSucceeded());
  if (::testing::Test::HasFailure()) {
    for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
    for (const auto& b : rig.Boxes()) std::printf("  box %s\n", b.text.c_str());
    for (const auto& e : instrument.Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
  }
  std::string why;
  EXPECT_TRUE(FlashEqualsImage(instrument, p.files["FW_TEST.TXT"], &why)) << why;
}

TEST(Search, ALineThatKeepsMakingErrorsStillReachesTheEndOfTheSearch) {
  // An instrument at a rate the package does not list: every probe draws a framing error
  // inside the step's own wait.
  sim::InstrumentConfig c;
  c.baud = 57600;
  c.wrongRate = sim::WrongRate::LineError;
  sim::Instrument instrument(c);
  SessionRig rig;
  rig.WritePackage(DefaultPackage());
  rig.Ports(1, 1, &instrument);
  rig.Start();
  ASSERT_TRUE(rig.RunSession(30 * 60 * 1000)) << "the search ends";
  const auto& boxes = rig.Boxes();
  EXPECT_TRUE(std::any_of(boxes.begin(), boxes.end(),
                          [](const auto& b) { return b.text.find("No device found") != std::string::npos; }));
}

}  // namespace
}  // namespace sessiontest
