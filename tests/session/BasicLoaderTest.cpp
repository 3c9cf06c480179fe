// Whole updates through the Basic-Loader terminal: the instrument answers the follow-up
// command with its boot character, restarts into its loader on "A.1220", and the terminal
// sends the loader image; the simulated loader's memory is compared with the image.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "support/LineRecorder.h"
#include "SessionRig.h"
#include "platform/SerialLoopback.h"
#include "sim/BasicLoader.h"

namespace sessiontest {
namespace {

using testsupport::LineRecorder;

using Outcome = update::TUpdateForm::Outcome;

// An S-record image whose first data record carries "VERS:" and the version.
std::string LoaderImage(const std::string& version, std::size_t codeBytes, std::uint32_t seed) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::string head = "VERS:" + version;
  std::uint32_t at = 0x4000;
  for (char c : head) bytes[at++] = static_cast<std::uint8_t>(c);
  bytes[at++] = 0;
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < codeBytes; ++i) bytes[at++] = static_cast<std::uint8_t>(random());
  return sim::FormatSRecords(bytes, "L3TERM", 0x4000);
}

// What the records of an image put at each address.
std::map<std::uint32_t, std::uint8_t> ImageBytes(const std::string& image) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::istringstream in(image);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    sim::SRecord r;
    if (line.empty() || !sim::ParseSRecord(line, r, nullptr) || r.type < 1 || r.type > 3) continue;
    for (std::size_t k = 0; k < r.data.size(); ++k) bytes[r.address + static_cast<std::uint32_t>(k)] = r.data[k];
  }
  return bytes;
}

sim::InstrumentConfig BasicInstrument(std::uint32_t textBaud, char bootChar = '0') {
  sim::InstrumentConfig c;
  c.baud = textBaud;
  c.version = "1.01";
  c.basic.enabled = true;
  c.basic.bootChar = bootChar;
  return c;
}

struct BasicUpdate {
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<LineRecorder> recorder;
  SessionRig rig;
  Package package;

  // The package's first program file is an S-record file (FileType 0) that carries the
  // version; the loader images lie beside it.
  BasicUpdate(sim::InstrumentConfig c, std::map<std::string, std::string> files) {
    package.rows[0].progFile2 = "FW_L3.MOT";
    package.rows[0].swKenn2 = "564552533A";
    package.files = std::move(files);
    package.files["FW_L3.MOT"] = LoaderImage("1.02", 100, 99);
    c.clock = [this] { return rig.clock.Milliseconds(); };
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    recorder = std::make_unique<LineRecorder>(*instrument);
    rig.WritePackage(package);
    rig.Ports(1, 1, nullptr);
    platform::UnregisterLoopbackPort(1);
    platform::RegisterLoopbackPort(1, recorder.get());
    rig.Start();
  }
  ~BasicUpdate() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
    }
  }
  // Bytes the host wrote to the loader (at its 19200 with the handshake).
  std::size_t BytesToLoader() const {
    std::size_t n = 0;
    for (const auto& w : recorder->Writes())
      if (w.line.ctsFlow && w.line.baud == 19200) n += w.bytes.size();
    return n;
  }
};

// The instrument's text rate decides whether the PC hears the loader's banner (at 19200 it
// does; at 9600 it gets a framing error instead): either way the terminal takes over.
TEST(BasicLoaderUpdate, FromTheRestartIntoTheLoaderToProgramSuccessfullyProgrammed) {
  for (std::uint32_t textBaud : {19200u, 9600u}) {
    SCOPED_TRACE(textBaud);
    const std::string image = LoaderImage("1.02", 9000, 1);
    BasicUpdate u(BasicInstrument(textBaud), {{"L3_TermH.A37", image}});
    ASSERT_TRUE(u.rig.RunSession());
    auto& form = *u.rig.form;
    EXPECT_EQ(form.SessionOutcome(), Outcome::Succeeded);
    EXPECT_TRUE(form.NewStartNeeded());
    EXPECT_FALSE(form.ProgrammingInProgress()) << "the window closes without a question now";
    EXPECT_FALSE(form.OkBitBtn->Enabled());
    EXPECT_TRUE(u.rig.MemoHas("Program successfully programmed !"));
    EXPECT_TRUE(u.rig.MemoHas("Disconnect the Oxi 3310 from power supply unit and COM 1."));
    EXPECT_TRUE(u.rig.MemoHas("Close the window program with File/Exit."));
    EXPECT_FALSE(u.rig.MemoHas("Download successfully completed"));
    EXPECT_EQ(u.instrument->BasicLoaderPhase(), sim::BasicLoader::Phase::Programmed);
    EXPECT_EQ(u.instrument->BasicMemory(), ImageBytes(image));
    EXPECT_EQ(u.BytesToLoader(), image.size()) << "the image once, whole";
    auto cmds = u.instrument->Commands();
    EXPECT_NE(std::find(cmds.begin(), cmds.end(), "A.1220"), cmds.end());
    EXPECT_EQ(u.rig.app.Beeps(), 1);
    EXPECT_EQ(platform::App().Title(), "Update [ready]");
    EXPECT_EQ(form.UpdateStatusBar->PanelText(4), "Update [ready]");
    EXPECT_EQ(form.WaitProgressBar->Position(), 100);
    // It stays there: the loader's further text changes nothing.
    u.rig.RunUntil([] { return false; }, 60000);
    EXPECT_EQ(form.SessionOutcome(), Outcome::Succeeded);
  }
}

// Boot character '0' selects "L3_TermH.A37", any other one "L3_TermL.A37".
TEST(BasicLoaderUpdate, TheBootCharacterChoosesTheImage) {
  const std::string h = LoaderImage("1.02", 3000, 2), l = LoaderImage("1.02", 2500, 3);
  for (char boot : {'0', '5'}) {
    SCOPED_TRACE(boot);
    BasicUpdate u(BasicInstrument(19200, boot), {{"L3_TermH.A37", h}, {"L3_TermL.A37", l}});
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_EQ(u.rig.form->SessionOutcome(), Outcome::Succeeded);
    EXPECT_EQ(u.instrument->BasicMemory(), ImageBytes(boot == '0' ? h : l));
  }
}

TEST(BasicLoaderUpdate, ADefectiveRecordEndsWithTheTransmitErrorAndTheAbortText) {
  sim::InstrumentConfig c = BasicInstrument(19200);
  c.basic.fault = sim::BasicFaultKind::Defect;
  c.basic.faultRecord = 5;
  const std::string image = LoaderImage("1.02", 60000, 4);
  BasicUpdate u(c, {{"L3_TermH.A37", image}});
  ASSERT_TRUE(u.rig.RunSession());
  const std::size_t atTheReport = u.BytesToLoader();
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), Outcome::Failed);
  EXPECT_TRUE(form.NewStartNeeded());
  EXPECT_TRUE(u.rig.MemoHas("Transmit error !!"));
  EXPECT_TRUE(u.rig.MemoHas("Programming abort !"));
  EXPECT_TRUE(u.rig.MemoHas("start the program for a new download"));
  EXPECT_FALSE(u.rig.MemoHas("Program successfully programmed"));
  EXPECT_FALSE(form.OkBitBtn->Enabled()) << "a new download needs a new start";
  // No block follows the loader's report but the one the line may still have been sending.
  u.rig.RunUntil([] { return false; }, 60000);
  EXPECT_LE(u.BytesToLoader(), atTheReport + 2000);
  EXPECT_LT(u.BytesToLoader(), image.size());
}

// The window closes while the image goes out: no block follows. Each write takes a little
// time, so that the upload is still going when the window closes. As during any programming,
// closing asks first, and No lets the upload go on.
TEST(BasicLoaderUpdate, ClosingTheWindowStopsTheUpload) {
  const std::string image = LoaderImage("1.02", 20000, 9);
  BasicUpdate u(BasicInstrument(19200), {{"L3_TermH.A37", image}});
  u.recorder->SetWriteTime(std::chrono::milliseconds(5));
  u.rig.form->OkBitBtn->Click();
  ASSERT_TRUE(u.rig.RunUntil([&u] { return u.BytesToLoader() > 0; }, 10 * 60 * 1000));
  EXPECT_TRUE(u.rig.form->ProgrammingInProgress());
  u.rig.app.QueueAnswer(platform::BoxResult::No);
  EXPECT_FALSE(u.rig.form->Close());
  ASSERT_EQ(u.rig.Boxes().size(), 1u);
  EXPECT_NE(u.rig.Boxes()[0].text.find("Close anyway?"), std::string::npos) << u.rig.Boxes()[0].text;
  const std::size_t before = u.BytesToLoader();
  ASSERT_TRUE(u.rig.RunUntil([&] { return u.BytesToLoader() > before; }, 60000)) << "the upload goes on";
  u.rig.app.QueueAnswer(platform::BoxResult::Yes);
  EXPECT_TRUE(u.rig.form->Close());
  EXPECT_FALSE(u.rig.form->ProgrammingInProgress());
  const std::size_t sent = u.BytesToLoader();
  u.rig.RunUntil([] { return false; }, 60000);
  EXPECT_LE(u.BytesToLoader(), sent + 2000) << "at most the block already handed over";
  EXPECT_LT(u.BytesToLoader(), image.size());
  EXPECT_NE(u.rig.form->SessionOutcome(), Outcome::Succeeded);
}

// A damaged image, or none for the boot character, is refused before the instrument is sent
// into its loader; the message names the file that was looked for.
TEST(BasicLoaderUpdate, AnUnusableImageIsRefusedBeforeTheLoaderIsEntered) {
  std::string damaged = LoaderImage("1.02", 500, 5);
  std::size_t third = damaged.find("\r\nS1", damaged.find("\r\nS1") + 1);
  damaged[third + 12] = damaged[third + 12] == '0' ? '1' : '0';
  struct Case {
    const char* what;
    std::map<std::string, std::string> files;
    const char* says;
  } cases[] = {
      {"damaged", {{"L3_TermH.A37", damaged}}, "The package file L3_TermH.A37 is no valid S-record file (line 3)."},
      {"missing", {{"L3_TermL.A37", LoaderImage("1.02", 100, 7)}}, "Unable to open L3_TermH.A37"},
      {"larger than the terminal holds", {{"L3_TermH.A37", LoaderImage("1.02", 100, 8) + std::string(2500000, '\n')}},
       "The package file L3_TermH.A37 is too large: more than 2500000 bytes."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    BasicUpdate u(BasicInstrument(19200), k.files);
    ASSERT_TRUE(u.rig.RunSession());
    auto& form = *u.rig.form;
    EXPECT_EQ(form.SessionOutcome(), Outcome::Failed);
    EXPECT_TRUE(u.rig.MemoHas(k.says));
    ASSERT_FALSE(u.rig.Boxes().empty());
    EXPECT_EQ(u.rig.Boxes().back().text, k.says);
    EXPECT_EQ(u.rig.Boxes().back().caption, " Error ");
    auto cmds = u.instrument->Commands();
    EXPECT_EQ(std::find(cmds.begin(), cmds.end(), "A.1220"), cmds.end()) << "the instrument stays in its firmware";
    EXPECT_EQ(u.BytesToLoader(), 0u);
  }
}

}  // namespace
}  // namespace sessiontest
