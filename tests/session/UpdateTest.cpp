// Complete updates through the classic bootstrap loader: the flash of the simulated
// instrument is compared with the image at the end.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"
#include "platform/Files.h"
#include "support/RunProgram.h"

namespace sessiontest {
namespace {

struct Update {
  std::unique_ptr<sim::Instrument> instrument;
  SessionRig rig;
  std::string image;

  Update(sim::InstrumentConfig c, const std::string& newImage, const std::string& oldImage,
         Package p = {}) {
    image = newImage;
    p.files["FW_TEST.TXT"] = newImage;
    p.files["Patch.TXT"] = "@0220\r\n31 40 00 0A 30 41\r\nq\r\n";
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    std::string error;
    EXPECT_TRUE(instrument->LoadFirmware(oldImage, &error)) << error;
    rig.WritePackage(p);
    rig.Ports(2, 2, instrument.get());
    rig.Start();
  }
  bool FlashOk(std::string* why) { return FlashEqualsImage(*instrument, image, why); }
  ~Update() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
      std::printf("  procedure error %d\n", rig.form->LastProcedureError());
    }
  }
};

sim::InstrumentConfig Config(std::uint16_t loaderVersion) {
  sim::InstrumentConfig c;
  c.baud = 9600;
  c.version = "1.01";
  c.serial = "14210045";
  c.loader.version = loaderVersion;
  return c;
}

class ClassicLoaderUpdate : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(ClassicLoaderUpdate, ProgramsVerifiesAndEndsWithTheSuccessText) {
  Update u(Config(GetParam()), TiTxtWithVersion("1.02", 700), TiTxtWithVersion("1.01", 300));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  EXPECT_TRUE(u.rig.MemoHas("Download successfully completed !"));
  EXPECT_TRUE(u.rig.MemoHas("Disconnect the Oxi 3310 from the COM 2 port."));
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  EXPECT_EQ(u.instrument->Version(), "1.02");
  // The instrument was released with its air-pressure value and the end command.
  EXPECT_EQ(u.instrument->AirPressure(), "945.2");
  auto cmds = u.instrument->Commands();
  EXPECT_EQ(cmds.back(), "A.1121");
  EXPECT_TRUE(u.rig.Boxes().empty()) << u.rig.Boxes().front().text;
  EXPECT_EQ(platform::App().Title(), "Update [ready]");
}

INSTANTIATE_TEST_SUITE_P(LoaderVersions, ClassicLoaderUpdate,
                         ::testing::Values(std::uint16_t{0x0110}, std::uint16_t{0x0150},
                                           std::uint16_t{0x0160}));

// Loader 1.60 changes to 38400 baud; the loader takes only its own family's clock values and
// is lost to the host with any others.
TEST(ClassicLoader, BaudChangeSendsTheClockValuesOfTheProcessorsFamily) {
  for (std::uint16_t chip : {std::uint16_t{0xF16C}, std::uint16_t{0xF26F}, std::uint16_t{0xF449}}) {
    sim::InstrumentConfig c = Config(0x0160);
    c.loader.chipId = chip;
    Update u(c, TiTxtWithVersion("1.02", 300), TiTxtWithVersion("1.01", 100));
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_TRUE(u.rig.form->SessionSucceeded()) << std::hex << chip;
    std::string why;
    EXPECT_TRUE(u.FlashOk(&why)) << std::hex << chip << ": " << why;
  }
}

TEST(ClassicLoader, ImageAbove64KUsesTheMemoryOffset) {
  sim::InstrumentConfig c = Config(0x0160);
  c.loader.memory.mainEnd = 0x1FFFF;
  c.loader.chipId = 0xF26F;  // a 2xx part with 120 KB of flash
  std::string image = TiTxtWithVersion("1.02", 200);
  // Upper code in its own section above 64 KB.
  std::string upper = "@10000\r\n";
  for (int i = 0; i < 64; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", (i * 7 + 3) & 0xFF);
    upper += b;
    upper += (i % 16 == 15) ? "\r\n" : " ";
  }
  image.insert(image.find("@FFE0"), "");
  image.replace(image.find("q\r\n"), 3, upper + "q\r\n");
  Package p;
  p.rows[0].flashErase2 = "0x10200";
  Update u(c, image, TiTxtWithVersion("1.01", 100), p);
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
}

// The instrument's firmware names another loader vector than its vector table holds: the
// password is wrong. The maker's loader acknowledges it and refuses what follows; a 2xx part
// with the security key has erased its flash meanwhile and takes the erased device's password.
TEST(ClassicLoader, WrongPasswordOnAPartThatErasesGoesOnWithTheErasedDevicesPassword) {
  sim::InstrumentConfig c = Config(0x0160);
  c.loader.chipId = 0xF26F;
  c.vectorText = "0x123";
  Update u(c, TiTxtWithVersion("1.02", 300), TiTxtWithVersion("1.01", 100));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  EXPECT_TRUE(u.rig.MemoHas("refused the password and erased the instrument's flash"));
}

TEST(ClassicLoader, WrongPasswordOnAPartThatKeepsItsFlashFailsAndLeavesIt) {
  sim::InstrumentConfig c = Config(0x0160);
  c.loader.chipId = 0xF449;
  c.vectorText = "0x123";
  Update u(c, TiTxtWithVersion("1.02", 300), TiTxtWithVersion("1.01", 100));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_EQ(u.rig.form->LastProcedureError(), 5) << "the erase was refused";
  EXPECT_EQ(u.instrument->Version(), "1.01");
  EXPECT_FALSE(u.rig.MemoHas("erased the instrument's flash"));
}

TEST(ClassicLoader, ReadBackMismatchFailsAndOkRetriesWithoutTheDialogue) {
  sim::InstrumentConfig c = Config(0x0150);
  c.frameFaults.push_back({sim::FrameFaultKind::WrongReadBack, 0x14, 2, 1});
  Update u(c, TiTxtWithVersion("1.02", 500), TiTxtWithVersion("1.01", 300));
  ASSERT_TRUE(u.rig.RunSession());
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_EQ(form.LastProcedureError(), 9);
  ASSERT_FALSE(u.rig.Boxes().empty());
  EXPECT_EQ(u.rig.Boxes().back().text, "Error in bootloader !!  Programming abort.");
  EXPECT_EQ(u.rig.Boxes().back().caption, "Error");
  EXPECT_TRUE(u.rig.MemoHas("Aborted"));
  EXPECT_FALSE(u.rig.MemoHas("Download successfully completed")) << "the flash is not the image";
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  // OK runs the classic loader again, straight into the loader that is still active.
  std::size_t before = u.instrument->Commands().size();
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
  auto cmds = u.instrument->Commands();
  EXPECT_EQ(std::count(cmds.begin() + static_cast<long>(before), cmds.end(), std::string("A.5577")), 0)
      << "the retry asks no vector";
}

TEST(ClassicLoader, InstrumentRefusingItsLoaderEndsWithStatus17) {
  sim::InstrumentConfig c = Config(0x0150);
  c.refuseLoaderStart = true;
  Update u(c, TiTxtWithVersion("1.02"), TiTxtWithVersion("1.01"));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(u.rig.form->LastProcedureError(), 17);
  ASSERT_FALSE(u.rig.Boxes().empty());
  EXPECT_EQ(u.rig.Boxes().back().text, "bootloader in target not available!!  Programming abort.");
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
}

}  // namespace
}  // namespace sessiontest

namespace sessiontest {
namespace {

TEST(ClassicLoader, AnInstrumentThatNeverEchoesItsLoaderStartFailsWithStatus16) {
  sim::InstrumentConfig c = Config(0x0150);
  c.textFaults.push_back({sim::TextFaultKind::Silence, "A.5588", 1, 100});
  Update u(c, TiTxtWithVersion("1.02"), TiTxtWithVersion("1.01"));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_EQ(u.rig.form->LastProcedureError(), 16) << "no step of the loader dialogue ran";
}

TEST(ClassicLoader, UpperBlocksWithoutATopSegmentBlockReadBackAtTheirAddresses) {
  sim::InstrumentConfig c = Config(0x0150);
  c.loader.memory.mainEnd = 0x1FFFF;
  // Code at 0x3100 and above 64 KB, no vector table: the lower block is read back after the
  // upper ones were written with memory offset 1.
  std::string image = "@3100\r\n56 45 52 53 3A 31 2E 30 32 00 11 22 33 44 55 66\r\n"
                      "@10000\r\n01 02 03 04 05 06 07 08\r\nq\r\n";
  Package p;
  p.rows[0].flashErase2 = "0x10200";
  Update u(c, image, TiTxtWithVersion("1.01", 100), p);
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded()) << "procedure error " << u.rig.form->LastProcedureError();
  for (auto [address, value] : ParseTiTxt(image))
    EXPECT_EQ(u.instrument->ReadMemory(address), value) << std::hex << address;
}

// One answer of the loader lost on the line (the command was carried out): the link layer's
// time-out recovers and the update completes.
TEST(ClassicLoader, OneLostAnswerAtEachStepStillCompletesTheUpdate) {
  struct Case {
    const char* step;
    std::uint8_t command;
    int nth;
  };
  // Image of 700 bytes at 0x3100 and the vector table: four writes and read-backs.
  for (const Case& c : {Case{"version", 0x1E, 1}, Case{"password", 0x10, 1}, Case{"baud change", 0x20, 1},
                        Case{"first erase", 0x16, 1}, Case{"an erase in the middle", 0x16, 30},
                        Case{"first write", 0x12, 1}, Case{"a write in the middle", 0x12, 3},
                        Case{"last write", 0x12, 5}, Case{"first read-back", 0x14, 1},
                        Case{"last read-back", 0x14, 5}, Case{"firmware start", 0x1A, 1}}) {
    sim::InstrumentConfig cfg = Config(0x0160);
    cfg.frameFaults.push_back({sim::FrameFaultKind::LostAnswer, c.command, c.nth, 1});
    Update u(cfg, TiTxtWithVersion("1.02", 700), TiTxtWithVersion("1.01", 300));
    ASSERT_TRUE(u.rig.RunSession()) << c.step;
    EXPECT_TRUE(u.rig.form->SessionSucceeded()) << c.step;
    std::string why;
    EXPECT_TRUE(u.FlashOk(&why)) << c.step << ": " << why;
  }
}

}  // namespace
}  // namespace sessiontest

namespace sessiontest {
namespace {

// A section that ends with an odd byte count on the 15th line of its block: the block is
// padded to whole words with the erased value, so that the flash behind it stays erased as
// the image leaves it (a pad of 0x00 was programmed there and the update still reported).
TEST(ClassicLoader, OddSectionEndAtTheLineLimitLeavesTheFlashAsTheImageSays) {
  std::string section = "@8000\r\n";
  for (int line = 0; line < 14; ++line) {
    for (int k = 0; k < 16; ++k) {
      char b[4];
      std::snprintf(b, sizeof b, "%02X", (line * 16 + k) & 0xFF);
      section += b;
      section += k == 15 ? "\r\n" : " ";
    }
  }
  section += "A0 A1 A2\r\n";  // 227 bytes: 0x8000 .. 0x80E2
  std::string image = TiTxtWithVersion("1.02", 300);
  image.insert(image.find("@FFE0"), section + "@80F0\r\n11 22\r\n");
  Update u(Config(0x0160), image, TiTxtWithVersion("1.01", 100));
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded()) << "procedure error " << u.rig.form->LastProcedureError();
  std::string why;
  EXPECT_TRUE(u.FlashOk(&why)) << why;
}

}  // namespace
}  // namespace sessiontest
