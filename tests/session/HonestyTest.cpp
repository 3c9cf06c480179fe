// The success text only when the instrument holds the package's firmware, and no wait without
// end: whole sessions against instruments that say too much, too little, or go away.
#include <gtest/gtest.h>

#include <algorithm>

#include "SessionRig.h"
#include "platform/SerialLoopback.h"

namespace sessiontest {
namespace {

using Outcome = update::TUpdateForm::Outcome;

sim::InstrumentConfig Classic() {
  sim::InstrumentConfig c;
  c.version = "1.01";
  c.loader.version = 0x0150;
  return c;
}

struct Bench {
  std::unique_ptr<sim::Instrument> instrument;
  SessionRig rig;
  std::string image = TiTxtWithVersion("1.02", 300);
  explicit Bench(sim::InstrumentConfig c, Package p = {}) {
    p.files.emplace("FW_TEST.TXT", image);
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    std::string error;
    EXPECT_TRUE(instrument->LoadFirmware(TiTxtWithVersion("1.01", 100), &error)) << error;
    rig.WritePackage(p);
    rig.Ports(1, 1, instrument.get());
    rig.Start();
  }
  bool FlashOk(std::string* why) { return FlashEqualsImage(*instrument, image, why); }
  ~Bench() {
    if (::testing::Test::HasFailure())
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
  }
};

// A device that answers every line with a fixed text (and never identifies itself properly).
class Chatterbox : public platform::LoopbackPeer {
 public:
  explicit Chatterbox(std::string answer) : answer_(std::move(answer)) {}
  void Attach(platform::LoopbackLine* line) override { line_ = line; }
  void OnHostBytes(const std::uint8_t* d, std::size_t n, const platform::LineSettings&) override {
    for (std::size_t i = 0; i < n; ++i)
      if (d[i] == '\n' && line_)
        line_->Emit(reinterpret_cast<const std::uint8_t*>(answer_.data()), answer_.size());
  }

 private:
  std::string answer_;
  platform::LoopbackLine* line_ = nullptr;
};

// Stands for whichever instrument is plugged in at the moment.
class Socket : public platform::LoopbackPeer {
 public:
  void Plug(sim::Instrument* instrument) {
    instrument_ = instrument;
    if (line_) instrument_->Attach(line_);
  }
  void Attach(platform::LoopbackLine* line) override {
    line_ = line;
    if (instrument_) instrument_->Attach(line);
  }
  void OnHostBytes(const std::uint8_t* d, std::size_t n, const platform::LineSettings& s) override {
    if (instrument_) instrument_->OnHostBytes(d, n, s);
  }
  void OnHostLineChanged(const platform::LineSettings& s) override {
    if (instrument_) instrument_->OnHostLineChanged(s);
  }

 private:
  sim::Instrument* instrument_ = nullptr;
  platform::LoopbackLine* line_ = nullptr;
};

TEST(Honesty, SurplusAcknowledgementsDoNotWalkTheSessionOn) {
  sim::InstrumentConfig c = Classic();
  // Every command gets a second "!".
  c.extraReplies.push_back({"*", "!", false});
  Bench b(c);
  ASSERT_TRUE(b.rig.RunSession());
  // Whatever the session made of it, success means the image is in the flash.
  std::string why;
  ASSERT_TRUE(b.rig.form->SessionSucceeded()) << "the dialogue of a chatty but working instrument goes through";
  EXPECT_TRUE(b.FlashOk(&why)) << why;
  const auto memo = b.rig.MemoLines();
  EXPECT_EQ(std::count(memo.begin(), memo.end(), std::string("Download successfully completed !")), 1);
}

// Once the check has passed, an identity reply (here a version reply right behind the serial
// number; in the field a loader's "I.251#1.06" that lost its "5") is a stray one: it neither
// rewrites the record the programming goes by nor stops the session (it used to make the
// update look not due, and the session waited for ever).
TEST(Honesty, AnIdentityReplyAfterTheCheckChangesNothing) {
  sim::InstrumentConfig c = Classic();
  c.extraReplies.push_back({"A.4001", "I.21#9.99", true});
  Bench b(c);
  ASSERT_TRUE(b.rig.RunSession(10 * 60 * 1000)) << "the session ends";
  EXPECT_TRUE(b.rig.form->SessionSucceeded());
  std::string why;
  EXPECT_TRUE(b.FlashOk(&why)) << why;
  EXPECT_EQ(b.rig.form->Record().deviceVersion, 1010);
}

TEST(Honesty, DevicesThatOnlyAcknowledgeOrNeverIdentifyGetNoSuccess) {
  std::string eightAcks;
  for (int i = 0; i < 8; ++i) eightAcks += "!\r\n";
  // Identity replies far beyond any reply line, each followed by an acknowledgement.
  const std::string longText(2000, '7');
  const std::string tooLong = "I.23#" + longText + "\r\nI.21#" + longText + "\r\n!\r\n";
  for (const std::string& answer : {eightAcks, tooLong}) {
    Chatterbox device(answer);
    SessionRig rig;
    Package p;
    p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02");
    rig.WritePackage(p);
    platform::RegisterLoopbackPort(1, &device);
    rig.registered.push_back(1);
    rig.Start();
    // The search gives up (twice, then the program ends): the device was never identified.
    ASSERT_TRUE(rig.RunSession(30 * 60 * 1000)) << "the session ends";
    EXPECT_FALSE(rig.form->SessionSucceeded());
    EXPECT_FALSE(rig.MemoHas("Download successfully completed"));
    EXPECT_FALSE(rig.MemoHas("not available")) << "no step after the identification ran";
  }
}

TEST(Honesty, LoaderSilentToTheFirmwareStartEndsWithAMessageNotAHang) {
  sim::InstrumentConfig c = Classic();
  // The load-PC frame is never answered (nor carried out): the firmware does not start.
  c.frameFaults.push_back({sim::FrameFaultKind::Silence, 0x1A, 1, 4});
  Bench b(c);
  ASSERT_TRUE(b.rig.RunSession(10 * 60 * 1000)) << "the session ends within its time limits";
  EXPECT_EQ(b.rig.form->SessionOutcome(), Outcome::Failed);
  EXPECT_FALSE(b.rig.MemoHas("Download successfully completed"));
  EXPECT_TRUE(b.rig.MemoHas("did not restart after programming")) << "the user is told what to do";
  EXPECT_TRUE(b.rig.form->OkBitBtn->Enabled()) << "OK offers the retry";
}

TEST(Honesty, UnpluggedAdapterEndsTheRunAtOnceAndOffersTheRetry) {
  sim::InstrumentConfig c = Classic();
  c.disconnectAfterFrames = 12;  // in the middle of the writes
  Bench b(c);
  b.instrument->SetDisconnectHandler([] { platform::HangUpLoopbackPort(1); });
  std::uint32_t start = b.rig.clock.Milliseconds();
  ASSERT_TRUE(b.rig.RunSession());
  EXPECT_EQ(b.rig.form->SessionOutcome(), Outcome::Failed);
  EXPECT_TRUE(b.rig.MemoHas("The port COM 1 went away")) << "the message names the port";
  EXPECT_TRUE(b.rig.form->OkBitBtn->Enabled());
  // No loader time-outs were waited out: the dialogue until the unplugging takes the
  // 8 s loader entry and a little more, not several 5 s silences on top.
  EXPECT_LT(b.rig.clock.Milliseconds() - start, 40000u);
}

// The port goes away while the instrument is still being identified: nothing is known of it,
// so OK starts the session afresh with the search instead of repeating a procedure (for a
// Windows-CE package the session then waited for ever; found by the fault matrix).
TEST(Honesty, APortLostDuringTheIdentityDialogueIsRetriedFromTheSearch) {
  Package p;
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02", 300);
  sim::InstrumentConfig c = Classic();
  sim::InstrumentConfig lost = c;
  lost.disconnectAfterCommands = 3;  // the probe, command mode and the first identity command
  sim::Instrument unplugged(lost);
  sim::Instrument replugged(c);
  std::string error;
  ASSERT_TRUE(replugged.LoadFirmware(TiTxtWithVersion("1.01", 100), &error)) << error;
  unplugged.SetDisconnectHandler([] { platform::HangUpLoopbackPort(1); });
  Socket socket;
  socket.Plug(&unplugged);
  SessionRig rig;
  rig.WritePackage(p);
  platform::RegisterLoopbackPort(1, &socket);
  rig.registered.push_back(1);
  rig.Start();
  ASSERT_TRUE(rig.RunSession());
  EXPECT_EQ(rig.form->SessionOutcome(), Outcome::Failed);
  EXPECT_TRUE(rig.MemoHas("The port COM 1 went away"));
  ASSERT_TRUE(rig.form->OkBitBtn->Enabled());

  socket.Plug(&replugged);
  ASSERT_TRUE(rig.RunSession()) << "the retry ends";
  EXPECT_TRUE(rig.form->SessionSucceeded());
  std::string why;
  EXPECT_TRUE(FlashEqualsImage(replugged, p.files["FW_TEST.TXT"], &why)) << why;
  auto cmds = replugged.Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "A.2003"), cmds.end()) << "identified afresh";
}

TEST(Honesty, TheXxxFlagOfARefusedSessionDoesNotSkipTheNextOnesSecondFile) {
  Package p;
  p.rows[0].progFile3 = "FW_SECOND.TXT";
  p.rows[0].swKenn1 = "56 45 52 53 3A ";
  p.rows[0].swKenn3 = "56 45 52 53 3A ";
  p.files["FW_TEST.TXT"] = TiTxtWithVersion("1.02", 300);
  p.files["FW_SECOND.TXT"] = TiTxtWithVersion("1.60", 100, 0x8000);
  sim::InstrumentConfig first = Classic();
  first.version = "1.20,X.XX";
  sim::Instrument refused(first);
  sim::InstrumentConfig second = Classic();
  second.version = "1.01,1.50";
  sim::Instrument older(second);
  Socket socket;
  socket.Plug(&refused);
  SessionRig rig;
  rig.WritePackage(p);
  platform::RegisterLoopbackPort(1, &socket);
  rig.registered.push_back(1);
  rig.Start();
  ASSERT_TRUE(rig.RunSession());
  EXPECT_EQ(rig.form->SessionOutcome(), Outcome::Refused);

  // The same window, another instrument whose second part is older than the package's.
  socket.Plug(&older);
  rig.form->OkBitBtn->Click();
  rig.RunUntil([&] {
    auto cmds = older.Commands();
    return std::find(cmds.begin(), cmds.end(), "A.5555") != cmds.end() || rig.form->SessionOver() ||
           rig.form->OkBitBtn->Enabled();
  }, 10 * 60 * 1000);
  auto cmds = older.Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "A.5555"), cmds.end())
      << "the second stage asks for the sensor loader's vector";
}

}  // namespace
}  // namespace sessiontest
