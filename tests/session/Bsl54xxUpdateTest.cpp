// Complete updates of instruments with the 5xx bootstrap loader (processor type 21560): the
// session chooses the 5xx procedure, the simulated instrument's flash is compared with the
// image at the end.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"
#include "platform/SerialLoopback.h"

namespace sessiontest {
namespace {

using sim::FrameFault;
using sim::FrameFaultKind;
using testsupport::TiTxt5xx;

sim::InstrumentConfig Config5xx(std::vector<FrameFault> faults = {}) {
  sim::InstrumentConfig c;
  c.loaderKind = sim::LoaderKind::Bsl5xx;
  c.version = "1.01";
  c.frameFaults = std::move(faults);
  return c;
}

struct Update5xx {
  std::unique_ptr<sim::Instrument> instrument;
  SessionRig rig;
  std::string image;

  Update5xx(sim::InstrumentConfig c, const std::string& newImage, const std::string& oldImage) : image(newImage) {
    Package p;
    p.rows[0].prozTyp = "5438";  // 21560: the MSP430F5438
    p.rows[0].progFile2 = "FW_TEST.TXT";
    p.files["FW_TEST.TXT"] = newImage;
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    std::string error;
    EXPECT_TRUE(instrument->LoadFirmware(oldImage, &error)) << error;
    rig.WritePackage(p);
    rig.Ports(2, 2, instrument.get());
    rig.Start();
  }
  ~Update5xx() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log())
        if (e.kind != "frame" || (e.text.rfind("10 ", 0) != 0 && e.text.rfind("18 ", 0) != 0))
          std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
    }
  }
  bool FlashOk(std::string* why) { return FlashEqualsImage(*instrument, image, why); }
  // The cores of the loader frames of one command, in order ("12 00 FC 00").
  std::vector<std::string> Frames(const char* command) const {
    std::vector<std::string> out;
    for (const auto& e : instrument->Log())
      if (e.kind == "frame" && e.text.rfind(std::string(command) + " ", 0) == 0) out.push_back(e.text);
    return out;
  }
  bool Logged(const std::string& kind, const std::string& text) const {
    auto log = instrument->Log();
    return std::any_of(log.begin(), log.end(), [&](const sim::LogEntry& e) { return e.kind == kind && e.text == text; });
  }
};

class Bsl54xxUpdate : public ::testing::TestWithParam<unsigned> {};

// Below 64 KB and with a section at 0x10000 (the package's erase start 0xFC00 lies below it):
// the old firmware is replaced completely, at 38400 baud after the loader's baud change.
TEST_P(Bsl54xxUpdate, ProgramsVerifiesStartsAndEndsWithTheSuccessText) {
  const unsigned upper = GetParam();
  Update5xx u(Config5xx(), TiTxt5xx("1.02", 2000, upper), TiTxt5xx("1.01", 900, upper));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  EXPECT_TRUE(u.rig.MemoHas("Download successfully completed !"));
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  EXPECT_EQ(u.instrument->Version(), "1.02");
  EXPECT_EQ(u.instrument->FirmwareStarts(), 1);
  EXPECT_TRUE(u.Logged("frame", "baud 38400"));
  EXPECT_TRUE(u.Logged("frame", "load PC 0x05C00"));
  auto cmds = u.instrument->Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "A.5588#QX17"), cmds.end());
  EXPECT_TRUE(u.rig.Boxes().empty()) << u.rig.Boxes().front().text;
  EXPECT_EQ(u.rig.form->LastProcedureError(), 0);
}

INSTANTIATE_TEST_SUITE_P(Below64KAndAbove, Bsl54xxUpdate, ::testing::Values(0u, 3000u));

// 0x5C00 with its second block at 0x5CF0 and the erase start 0xFC00: every segment from 0xFC00
// down to 0x5C00, the top segment only just before the first write into it.
TEST(Bsl54xxSession, EraseFromTheStartDownToTheImage) {
  Update5xx u(Config5xx(), TiTxt5xx("1.02", 500), TiTxt5xx("1.01", 300));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  std::vector<std::string> want;
  for (unsigned a = 0xFC00; a >= 0x5C00; a -= 0x200) {
    char core[16];
    std::snprintf(core, sizeof core, "12 %02X %02X 00", a & 0xFF, a >> 8);
    want.push_back(core);
  }
  want.push_back("12 FF FF 00");
  EXPECT_EQ(u.Frames("12"), want);
  const auto writes = u.Frames("10");
  ASSERT_GE(writes.size(), 3u);
  EXPECT_EQ(writes[0].substr(0, 11), "10 00 5C 00");
  EXPECT_EQ(writes[1].substr(0, 11), "10 F0 5C 00");
  EXPECT_EQ(writes.back().substr(0, 11), "10 E0 FF 00");
  // The top segment's erase comes after the last main-flash write and before the vectors.
  auto log = u.instrument->Log();
  auto at = [&](const std::string& prefix) {
    return std::find_if(log.begin(), log.end(), [&](const sim::LogEntry& e) { return e.text.rfind(prefix, 0) == 0; });
  };
  EXPECT_LT(at(writes[writes.size() - 2].substr(0, 11)), at("12 FF FF 00"));
  EXPECT_LT(at("12 FF FF 00"), at("10 E0 FF 00"));
}

// A read-back difference fails the run with status 9; OK runs the 5xx loader again, straight
// into the loader that is still active (back at 9600 baud), and completes the update.
TEST(Bsl54xxSession, ReadBackMismatchFailsWithStatus9AndOkRetries) {
  Update5xx u(Config5xx({{FrameFaultKind::WrongReadBack, 0x18, 4, 1}}), TiTxt5xx("1.02", 1200), TiTxt5xx("1.01"));
  ASSERT_TRUE(u.rig.RunSession());
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_EQ(form.LastProcedureError(), 9);
  ASSERT_FALSE(u.rig.Boxes().empty());
  EXPECT_EQ(u.rig.Boxes().back().text, "Error in bootloader !!  Programming abort.");
  EXPECT_EQ(u.rig.Boxes().back().caption, "Error");
  EXPECT_FALSE(u.rig.MemoHas("Download successfully completed !"));
  EXPECT_EQ(u.instrument->FirmwareStarts(), 0);
  EXPECT_EQ(u.instrument->ListeningBaud(), 9600u) << "the loader was sent back to 9600 baud";
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  const std::size_t commands = u.instrument->Commands().size();
  const std::size_t passwords = u.Frames("11").size();
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  EXPECT_EQ(u.instrument->Version(), "1.02");
  EXPECT_EQ(u.Frames("11").size(), passwords + 1) << "one password, accepted";
  auto cmds = u.instrument->Commands();
  EXPECT_EQ(std::count(cmds.begin() + static_cast<long>(commands), cmds.end(), std::string("A.5588#QX17")), 0)
      << "the retry goes straight into the loader";
}

// The loader answers 0x51 (header incorrect) to one erase: twice is repeated, the third
// answer ends the run with the erase's status.
TEST(Bsl54xxSession, HeaderErrorRepeatedTheThirdEndsTheRun) {
  for (int times : {2, 3}) {
    SCOPED_TRACE(times);
    Update5xx u(Config5xx({{FrameFaultKind::Nak, 0x12, 5, times, 0x51}}), TiTxt5xx("1.02", 600), TiTxt5xx("1.01"));
    ASSERT_TRUE(u.rig.RunSession());
    const auto erases = u.Frames("12");
    ASSERT_GE(erases.size(), 5u);
    EXPECT_EQ(std::count(erases.begin(), erases.end(), erases[4]), 3);
    if (times == 2) {
      EXPECT_TRUE(u.rig.form->SessionSucceeded());
      std::string why;
      EXPECT_TRUE(u.FlashOk(&why)) << why;
    } else {
      EXPECT_EQ(u.rig.form->LastProcedureError(), 5);
      EXPECT_EQ(u.instrument->FirmwareStarts(), 0);
      EXPECT_TRUE(u.rig.form->OkBitBtn->Enabled());
      EXPECT_EQ(u.Frames("10").size(), 0u) << "nothing written after the run failed";
    }
  }
}

// The instrument dialogue before the loader: a refused loader start gives status 17, an
// instrument that stops answering ends the run after 15 s with status 16. Nothing is erased.
TEST(Bsl54xxSession, InstrumentRefusingOrSilentBeforeTheLoader) {
  struct Case {
    const char* what;
    bool refuse;
    int error;
    const char* box;
  } cases[] = {
      {"refused", true, 17, "bootloader in target not available!!  Programming abort."},
      {"silent", false, 16, "Error in bootloader !!  Programming abort."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::InstrumentConfig cfg = Config5xx();
    if (c.refuse)
      cfg.refuseLoaderStart = true;
    else
      cfg.textFaults.push_back({sim::TextFaultKind::Silence, "A.5588", 1, 1});
    Update5xx u(cfg, TiTxt5xx("1.02"), TiTxt5xx("1.01"));
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_EQ(u.rig.form->LastProcedureError(), c.error);
    ASSERT_FALSE(u.rig.Boxes().empty());
    EXPECT_EQ(u.rig.Boxes().back().text, c.box);
    EXPECT_TRUE(u.Frames("11").empty());
    EXPECT_EQ(u.instrument->Version(), "1.01");
    EXPECT_TRUE(u.rig.form->OkBitBtn->Enabled());
  }
}

// An instrument that acknowledges "A.1000" twice and echoes the loader start twice: the
// surplus answers start nothing a second time.
TEST(Bsl54xxSession, SurplusAnswersOfTheInstrumentLeadNowhere) {
  sim::InstrumentConfig c = Config5xx();
  c.extraReplies.push_back({"A.1000", "!", false});
  c.extraReplies.push_back({"A.5577", "I.80#0x5C00", false});
  Update5xx u(c, TiTxt5xx("1.02", 600), TiTxt5xx("1.01"));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  auto cmds = u.instrument->Commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), std::string("A.5577")), 1);
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), std::string("A.5588#QX17")), 1);
  EXPECT_EQ(u.Frames("11").size(), 1u);
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
}

// The adapter unplugged in the middle of the writes: the run ends at once, without waiting out
// the loader's time-outs, and OK offers the retry.
TEST(Bsl54xxSession, UnpluggedAdapterEndsTheRunAtOnce) {
  sim::InstrumentConfig c = Config5xx();
  c.disconnectAfterFrames = 90;  // password, version, identifier, baud, 81 erases, then writes
  Update5xx u(c, TiTxt5xx("1.02", 1000), TiTxt5xx("1.01"));
  u.instrument->SetDisconnectHandler([] { platform::HangUpLoopbackPort(2); });
  const std::uint32_t start = u.rig.clock.Milliseconds();
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_TRUE(u.rig.MemoHas("The port COM 2 went away"));
  EXPECT_TRUE(u.rig.form->OkBitBtn->Enabled());
  EXPECT_GE(u.Frames("10").size(), 1u) << "unplugged during the writes";
  // Search, dialogue, the 4 s loader entry and the 1 s after the baud change; no 5 s silences.
  EXPECT_LT(u.rig.clock.Milliseconds() - start, 15000u);
}

// The old firmware uses an interrupt vector inside the password area, which the vector reply
// (the reset vector alone) does not tell: the password built from it is wrong, and the loader
// erases its flash and answers message 5. The procedure goes on with the erased device's
// password, says so, and completes the update.
TEST(Bsl54xxSession, WrongPasswordThenTheErasedDevicesPassword) {
  std::string old = TiTxt5xx("1.01", 300);
  const std::size_t table = old.find("@FFE0\r\n");
  ASSERT_NE(table, std::string::npos);
  old.replace(table + 7, 5, "20 5C");  // 0xFFE0: an interrupt routine at 0x5C20
  Update5xx u(Config5xx(), TiTxt5xx("1.02", 800), old);
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  EXPECT_TRUE(u.rig.MemoHas("The boot loader refused the password and erased the instrument's flash; programming goes"));
  EXPECT_TRUE(u.Logged("fault", "wrong password"));
  const auto passwords = u.Frames("11");
  ASSERT_EQ(passwords.size(), 2u);
  EXPECT_EQ(passwords[1], "11" + [] {
    std::string ff;
    for (int i = 0; i < 32; ++i) ff += " FF";
    return ff;
  }());
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  EXPECT_TRUE(u.rig.Boxes().empty()) << u.rig.Boxes().front().text;
}

}  // namespace
}  // namespace sessiontest
