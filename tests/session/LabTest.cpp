// Laboratory instruments found in boot mode, on the virtual clock: the search's wake-up frames
// draw the loader's marker (0x90 from the classic loader, 'Q' from the 5xx one), the session
// programs the laboratory image straight through that loader without the identity dialogue,
// and ends with the success text only after the loader verified and started the firmware.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"

namespace sessiontest {
namespace {

using testsupport::TiTxt5xx;

struct LabSession {
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<WireRecorder> wire;
  SessionRig rig;
  std::string image;

  LabSession(sim::InstrumentConfig c, Package p, const std::string& programmed) : image(programmed) {
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    wire = std::make_unique<WireRecorder>(instrument.get());
    rig.WritePackage(p);
    rig.Ports(1, 1, wire.get());
    rig.Start();
  }
  ~LabSession() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log())
        if (e.kind != "frame") std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
    }
  }
  bool FlashOk(std::string* why) { return FlashEqualsImage(*instrument, image, why); }
  // What the host wrote as text lines (loader frames left out).
  bool Wrote(const std::string& text) const {
    for (const auto& w : wire->Writes())
      if (w.bytes.find(text) != std::string::npos) return true;
    return false;
  }
};

// A laboratory package: row 0 names the instrument's firmware file (its version is the
// package's), the image that the laboratory command programs is "LABXXX.TXT".
Package LabPackage(const std::string& labImage, const std::string& rowFile) {
  Package p;
  p.rows[0].deviceNr = "40100";
  p.rows[0].deviceNrDef = "40100";
  p.rows[0].deviceName = "Lab 860";
  p.rows[0].progFile2 = "LAB860.TXT";
  p.files["LAB860.TXT"] = rowFile;
  p.files["LABXXX.TXT"] = labImage;
  return p;
}

sim::InstrumentConfig LabInstrument(std::uint16_t loaderVersion = 0x0150) {
  sim::InstrumentConfig c;
  c.baud = 9600;
  c.bootMode = sim::BootMode::Marker;
  c.bootMarker = 0x90;
  c.loader.version = loaderVersion;
  return c;
}

void ExpectNoIdentityDialogue(const LabSession& s) {
  for (const char* command : {"A.1000", "A.2003", "A.2000", "A.5577", "A.5588"})
    EXPECT_FALSE(s.Wrote(command)) << command << " was sent";
}

// 0x90 answers the first wake-up frame; the classic loader takes the image with the password
// of the default vector (the empty instrument's reset vector 0x0C00).
TEST(Laboratory, ClassicLoaderInBootModeIsProgrammedWithoutIdentification) {
  const std::string image = testsupport::TiTxtWithVersion("1.05", 900);
  LabSession s(LabInstrument(0x0160), LabPackage(image, testsupport::TiTxtWithVersion("1.05", 100)), image);
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_TRUE(form.SessionSucceeded());
  EXPECT_TRUE(s.rig.MemoHas("Store new data !!"));
  EXPECT_TRUE(s.rig.MemoHas("Download successfully completed !"));
  std::string why;
  EXPECT_TRUE(s.FlashOk(&why)) << why;
  EXPECT_EQ(s.instrument->FirmwareStarts(), 1);
  ExpectNoIdentityDialogue(s);
  EXPECT_TRUE(form.Record().laboratoryFlag);
  EXPECT_EQ(form.Record().firstProgramFile, "LABXXX.TXT");
  EXPECT_FALSE(form.LabXXX->Enabled());
  EXPECT_EQ(form.NameStaticText->Caption(), "40100.000  [Lab 860]") << "one row keeps its name";
  // The end: the line is back at the tool's 4800 8N2 and the end command went out there.
  const auto writes = s.wire->Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().bytes, "A.1121\r\n");
  EXPECT_EQ(writes.back().line.baud, 4800u);
  EXPECT_EQ(writes.back().line.stopBits, platform::StopBits::Two);
  EXPECT_EQ(writes.back().line.parity, platform::Parity::None);
  EXPECT_TRUE(s.rig.Boxes().size() == 1 && s.rig.Boxes()[0].text.find("boot mode") != std::string::npos)
      << "only the boot-mode hint of the search";
}

// The 5xx loader in boot mode answers the wake-up frames with "TQQ": the marker 'Q', the
// second row, the 5xx procedure (although the row names no 5xx processor) and its default
// password (fill words and the reset vector 0x5C00).
TEST(Laboratory, FiveXxLoaderAnsweringQTakesTheSecondRowAndThe5xxProcedure) {
  const std::string image = TiTxt5xx("1.05", 700);
  Package p = LabPackage(image, TiTxt5xx("1.02", 100));
  PackageRow second = p.rows[0];
  second.deviceNr = second.deviceNrDef = "40200";
  second.deviceName = "Lab 5xx";
  second.progFile2 = "LAB5XX.TXT";
  p.rows.push_back(second);
  p.files["LAB5XX.TXT"] = TiTxt5xx("1.05", 100);
  sim::InstrumentConfig c;
  c.baud = 9600;
  c.loaderKind = sim::LoaderKind::Bsl5xx;
  c.bootMode = sim::BootMode::Marker;
  LabSession s(c, p, image);
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_TRUE(form.SessionSucceeded());
  std::string why;
  EXPECT_TRUE(s.FlashOk(&why)) << why;
  EXPECT_EQ(s.instrument->FirmwareStarts(), 1);
  ExpectNoIdentityDialogue(s);
  EXPECT_EQ(form.Record().deviceNumber, "40200.000") << "row 1";
  EXPECT_EQ(form.UpdateStatusBar->PanelText(3), "Version 1.05") << "row 1's file";
  // Two rows: the name label says "Device", the PCB label is empty.
  EXPECT_EQ(form.NameStaticText->Caption(), "Device");
  EXPECT_EQ(form.PCBStaticText->Caption(), "");
  EXPECT_TRUE(s.rig.MemoHas("Download successfully completed !"));
}

// The read-back fails: the abort text and the loader's box; OK programs the laboratory image
// again straight through the loader, which is still active, and the session ends well.
TEST(Laboratory, FailedProgrammingIsRepeatedOnOk) {
  const std::string image = testsupport::TiTxtWithVersion("1.05", 600);
  sim::InstrumentConfig c = LabInstrument();
  c.frameFaults.push_back({sim::FrameFaultKind::WrongReadBack, 0x14, 2, 1});
  LabSession s(c, LabPackage(image, testsupport::TiTxtWithVersion("1.05", 100)), image);
  ASSERT_TRUE(s.rig.RunSession());
  auto& form = *s.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_EQ(form.LastProcedureError(), 9);
  EXPECT_TRUE(s.rig.MemoHas("Aborted"));
  EXPECT_FALSE(s.rig.MemoHas("Download successfully completed"));
  EXPECT_EQ(s.instrument->FirmwareStarts(), 0);
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  ASSERT_TRUE(s.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  std::string why;
  EXPECT_TRUE(s.FlashOk(&why)) << why;
  EXPECT_EQ(s.instrument->FirmwareStarts(), 1);
  EXPECT_TRUE(s.rig.MemoHas("Download successfully completed !"));
  ExpectNoIdentityDialogue(s);
}

// A definition file name of exactly four characters is no file: "LABXXX.TXT" is programmed. A
// longer one is programmed instead of it; one that the package lacks is refused before
// anything is sent to the loader.
TEST(Laboratory, DefinitionFileDecidesTheImage) {
  const std::string lab = testsupport::TiTxtWithVersion("1.05", 300);
  const std::string def = testsupport::TiTxtWithVersion("1.05", 500);
  struct Case {
    const char* defFile;
    const std::string* programmed;  // null: refused
  } cases[] = {{"A.TX", &lab}, {"DEF860.TXT", &def}, {"MISSING.TXT", nullptr}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.defFile);
    Package p = LabPackage(lab, testsupport::TiTxtWithVersion("1.05", 100));
    p.rows[0].progDefFile = k.defFile;
    p.files["DEF860.TXT"] = def;
    LabSession s(LabInstrument(), p, k.programmed ? *k.programmed : lab);
    ASSERT_TRUE(s.rig.RunSession());
    if (!k.programmed) {
      EXPECT_EQ(s.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Refused);
      EXPECT_TRUE(s.rig.MemoHas("The package file MISSING.TXT is missing !"));
      EXPECT_TRUE(s.instrument->FlashBytes().size() <= 32u) << "nothing programmed";
      continue;
    }
    EXPECT_TRUE(s.rig.form->SessionSucceeded());
    std::string why;
    EXPECT_TRUE(s.FlashOk(&why)) << why;
  }
}

}  // namespace
}  // namespace sessiontest
