// Whole sessions for a ".BIN" package: the serial boot loader takes the image with XMODEM-CRC.
// What the simulated loader received is compared with the padded image at the end.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"
#include "loaders/Emf_loadunit.h"
#include "loaders/Xmodem.h"
#include "platform/SerialLoopback.h"

namespace sessiontest {
namespace {

namespace xm = loaders::xmodem;
using Bytes = std::vector<std::uint8_t>;

// A binary image: a NUL first (as in real code), the version behind "VERS:" and the one byte
// that the package's version reader skips, pseudo-random code around it.
std::string BinImage(const std::string& version, std::size_t size) {
  std::string b(size, '\0');
  for (std::size_t i = 1; i < size; ++i) b[i] = static_cast<char>((i * 131 + (i >> 5)) & 0xFF);
  const std::string marker = "VERS: " + version + std::string(1, '\0');
  b.replace(size / 3, marker.size(), marker);
  return b;
}

Bytes Padded(const std::string& file) { return xm::PrepareImage(Bytes(file.begin(), file.end())).bytes; }

struct EmfUpdate {
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<WireRecorder> wire;
  SessionRig rig;  // last: its ports go before what stands behind them
  std::string file;

  explicit EmfUpdate(sim::InstrumentConfig c, std::size_t size = 5000, Package p = {}) {
    file = BinImage("1.02", size);
    p.rows[0].progFile2 = "FW_TEST.BIN";
    p.rows[0].swKenn2 = "VERS:";  // a binary image carries its marker as text
    p.files["FW_TEST.BIN"] = file;
    c.clock = [clock = &rig.clock] { return clock->Milliseconds(); };
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    wire = std::make_unique<WireRecorder>(instrument.get());
    rig.WritePackage(p);
    rig.Ports(2, 2, wire.get());
    rig.TickInstrument(instrument.get());
    rig.Start();
  }
  ~EmfUpdate() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
      std::printf("  panel3 %s; record P %d D %d file %s\n", rig.form->UpdateStatusBar->PanelText(3).c_str(),
                  rig.form->Record().packageVersionNumber, rig.form->Record().deviceVersion,
                  rig.form->Record().firstProgramFile.c_str());
    }
  }
  bool ReceivedImage() const { return instrument->XmodemReceived() == Padded(file); }
  // The time stamp of the first log entry of this kind whose text starts with text.
  std::uint32_t LogTime(const std::string& kind, const std::string& text) const {
    for (const auto& e : instrument->Log())
      if (e.kind == kind && e.text.rfind(text, 0) == 0) return e.ms;
    ADD_FAILURE() << "no log entry " << kind << " " << text;
    return 0;
  }
  // What the host wrote right after the first write of exactly these bytes.
  std::string WriteAfter(const std::string& bytes) const {
    auto w = wire->Writes();
    for (std::size_t i = 0; i + 1 < w.size(); ++i)
      if (w[i].bytes == bytes) return w[i + 1].bytes;
    return "(none)";
  }
};

sim::InstrumentConfig Config(const std::string& loaderVersion = "1.06") {
  sim::InstrumentConfig c;
  c.baud = 9600;
  c.version = "1.01";
  c.versionMarker = "VERS: ";
  c.xmodem.enabled = true;
  c.xmodem.version = loaderVersion;
  return c;
}

class EmfCompleteUpdate : public ::testing::TestWithParam<const char*> {};

TEST_P(EmfCompleteUpdate, TheLoaderReceivesThePaddedImageAndTheSessionEndsWithItsSuccessText) {
  const std::string version = GetParam();
  EmfUpdate u(Config(version), 5000);
  std::vector<std::string> labels;
  platform::App().OnTitleChanged = [&](const std::string&) {
    labels.push_back(u.rig.form->SWStaticText->Caption());
  };
  ASSERT_TRUE(u.rig.RunSession());
  platform::App().OnTitleChanged = nullptr;
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  EXPECT_TRUE(u.rig.MemoHas("Download successfully completed !"));
  EXPECT_TRUE(u.rig.Boxes().empty()) << u.rig.Boxes().front().text;
  EXPECT_TRUE(u.ReceivedImage());
  const sim::XmodemLoader::Status s = u.instrument->Xmodem();
  EXPECT_EQ(s.accepted, 40);  // 5000 bytes: 40 packets
  EXPECT_EQ(s.duplicates, 0);
  EXPECT_EQ(s.naks, 0);
  EXPECT_EQ(u.instrument->FirmwareStarts(), 1);
  EXPECT_EQ(u.instrument->Version(), "1.02");
  EXPECT_EQ(u.instrument->Commands().back(), "A.1111");

  // The loader's version was shown behind the instrument's while the image went out.
  const std::string label = "1.01   [BLV: " + std::string(version).substr(0, 4) + "]";
  EXPECT_NE(std::find(labels.begin(), labels.end(), label), labels.end()) << labels.front();
  // 1.06 wants the unlock code behind each letter, 1.05 takes the letter alone.
  const bool unlock = version.rfind("1.06", 0) == 0;
  const std::string code("7628\r\n\0", 7);
  EXPECT_EQ(u.WriteAfter("u") == code, unlock);
  EXPECT_EQ(u.WriteAfter("c") == code, unlock);
  EXPECT_EQ(u.WriteAfter("r") == code, unlock);
  if (!unlock) {
    EXPECT_EQ(u.WriteAfter("u").substr(0, 3), std::string("\x01\x01\xFE", 3));
  }
  // The dialogue: start command and speed code in two writes, the loader at 115200 8N2.
  EXPECT_EQ(u.WriteAfter("A.1250#"), "7\r\n");
  for (const auto& w : u.wire->Writes())
    if (w.bytes.size() == 133) {
      EXPECT_EQ(w.line.baud, 115200u);
      EXPECT_EQ(w.line.stopBits, platform::StopBits::Two);
    }
}

INSTANTIATE_TEST_SUITE_P(LoaderVersions, EmfCompleteUpdate, ::testing::Values("1.05,2009", "1.06"));

// The loader reports another checksum than the image's: its application is not started, the
// session fails with both checksums named, and OK programs the instrument, which still sits in
// its loader, again.
TEST(EmfLoader, WrongChecksumFailsWithBothChecksumsAndOkRetries) {
  sim::InstrumentConfig c = Config();
  c.xmodem.faults.push_back({sim::XmodemFaultKind::WrongChecksum, 1, 1});
  EmfUpdate u(c);
  ASSERT_TRUE(u.rig.RunSession());
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  char expected[120];
  const std::uint16_t image = xm::PrepareImage(Bytes(u.file.begin(), u.file.end())).checksum;
  std::snprintf(expected, sizeof expected, "The Oxi 3310 rejected the image FW_TEST.BIN: its checksum is %04X, the file's is %04X.",
                static_cast<unsigned>(image ^ 0x5A5A), static_cast<unsigned>(image));
  EXPECT_TRUE(u.rig.MemoHas(expected)) << expected;
  EXPECT_TRUE(u.rig.MemoHas("Aborted"));
  ASSERT_FALSE(u.rig.Boxes().empty());
  EXPECT_EQ(u.rig.Boxes().back().text, "Error in bootloader !!  Programming abort.");
  EXPECT_EQ(u.instrument->FirmwareStarts(), 0) << "\"r\" was sent";
  EXPECT_EQ(u.instrument->Version(), "1.01");
  EXPECT_FALSE(u.rig.MemoHas("Download successfully completed"));
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(form.SessionSucceeded());
  EXPECT_TRUE(u.ReceivedImage());
  EXPECT_EQ(u.instrument->Xmodem().uploads, 2);
  EXPECT_EQ(u.instrument->Version(), "1.02");
}

// The loader stops answering in the middle of the transfer: each packet is sent again once
// its answer is overdue, and 10 s after the last answer the run ends with the box; the
// loader is told with CAN CAN.
TEST(EmfLoader, SilenceEndsTheRunTenSecondsAfterTheLastAnswer) {
  sim::InstrumentConfig c = Config();
  c.xmodem.faults.push_back({sim::XmodemFaultKind::Silence, 3, 1000});
  EmfUpdate u(c);
  std::uint32_t boxAt = 0;
  platform::App().OnMessageBox = [&](const platform::BoxRecord&) { boxAt = u.rig.clock.Milliseconds(); };
  ASSERT_TRUE(u.rig.RunSession());
  platform::App().OnMessageBox = nullptr;
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  ASSERT_EQ(u.rig.Boxes().size(), 1u);
  EXPECT_EQ(u.rig.Boxes().back().text, "Error in bootloader !!  Programming abort.");
  EXPECT_TRUE(u.rig.MemoHas("The Oxi 3310 did not answer for 10 seconds."));
  // Packet 2's ACK was the last answer; the box follows the 10 s and the line's restoration
  // (200 ms and 1500 ms).
  const std::uint32_t lastAnswer = u.LogTime("xmodem", "packet 2 ");
  EXPECT_GE(boxAt - lastAnswer, 10000u + 1700u);
  EXPECT_LE(boxAt - lastAnswer, 10000u + 1700u + 200u);
  const sim::XmodemLoader::Status s = u.instrument->Xmodem();
  EXPECT_EQ(s.packets, 2 + 3) << "packet 3 and its two repetitions after 4 s each";
  EXPECT_TRUE(s.senderCancelled);
}

// The loader cancels: the run ends at once, not after the 10 s.
TEST(EmfLoader, CancelByTheLoaderEndsTheRunAtOnceAndOkRetries) {
  sim::InstrumentConfig c = Config();
  c.xmodem.faults.push_back({sim::XmodemFaultKind::Cancel, 4, 1});
  EmfUpdate u(c);
  std::uint32_t boxAt = 0;
  platform::App().OnMessageBox = [&](const platform::BoxRecord&) { boxAt = u.rig.clock.Milliseconds(); };
  ASSERT_TRUE(u.rig.RunSession());
  platform::App().OnMessageBox = nullptr;
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_TRUE(u.rig.MemoHas("The boot loader cancelled the transfer of FW_TEST.BIN at packet 4."));
  const std::uint32_t cancelled = u.LogTime("xmodem", "transfer cancelled");
  EXPECT_LE(boxAt - cancelled, 1700u + 100u);

  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_TRUE(u.rig.form->SessionSucceeded());
  EXPECT_TRUE(u.ReceivedImage());
}

// The adapter is unplugged in the middle of the transfer: the run ends then, with the port named.
TEST(EmfLoader, UnpluggedMidTransferEndsTheRunAtOnce) {
  sim::InstrumentConfig c = Config();
  c.disconnectAfterFrames = 10;
  EmfUpdate u(c);
  std::uint32_t goneAt = 0, boxAt = 0;
  u.instrument->SetDisconnectHandler([&] {
    goneAt = u.rig.clock.Milliseconds();
    platform::HangUpLoopbackPort(2);
  });
  platform::App().OnMessageBox = [&](const platform::BoxRecord&) { boxAt = u.rig.clock.Milliseconds(); };
  ASSERT_TRUE(u.rig.RunSession());
  platform::App().OnMessageBox = nullptr;
  EXPECT_EQ(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Failed);
  EXPECT_TRUE(u.rig.MemoHas("The port COM 2 went away"));
  ASSERT_GT(goneAt, 0u);
  EXPECT_LE(boxAt - goneAt, 1000u + 1700u) << "no answer time was waited out";
  EXPECT_TRUE(u.rig.form->OkBitBtn->Enabled());
}

// Refused and damaged packets are sent again until the loader takes them.
TEST(EmfLoader, NakBurstAndCorruptedPacketsAreRecovered) {
  struct Case {
    const char* what;
    sim::XmodemFault fault;
    int naks;
  };
  for (const Case& k : {Case{"five NAKs in a row", {sim::XmodemFaultKind::Nak, 2, 5}, 5},
                        Case{"two packets damaged", {sim::XmodemFaultKind::Corrupt, 7, 2}, 2}}) {
    SCOPED_TRACE(k.what);
    sim::InstrumentConfig c = Config();
    c.xmodem.faults.push_back(k.fault);
    EmfUpdate u(c);
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_TRUE(u.rig.form->SessionSucceeded());
    EXPECT_TRUE(u.ReceivedImage());
    EXPECT_EQ(u.instrument->Xmodem().naks, k.naks);
    EXPECT_EQ(u.instrument->Version(), "1.02");
  }
}

// An image larger than the loader's buffer is refused by the check, before the instrument is
// asked to start its loader.
TEST(EmfLoader, AnImageTooLargeForTheBufferIsRefusedBeforeTheLoaderIsStarted) {
  EmfUpdate u(Config(), loaders::T_EMFLoader::kMaxFileSize + 1);
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_NE(u.rig.form->SessionOutcome(), update::TUpdateForm::Outcome::Succeeded);
  const std::string text = "The file FW_TEST.BIN is too large for the boot loader: 1499898 bytes, at most 1499897 bytes.";
  ASSERT_FALSE(u.rig.Boxes().empty());
  EXPECT_EQ(u.rig.Boxes().front().text, text);
  EXPECT_TRUE(u.rig.MemoHas(text));
  for (const std::string& c : u.instrument->Commands()) EXPECT_EQ(c.rfind("A.125", 0), std::string::npos) << c;
  EXPECT_EQ(u.instrument->Xmodem().uploads, 0);
}

}  // namespace
}  // namespace sessiontest
