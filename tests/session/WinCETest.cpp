// Whole updates of a Windows-CE instrument: the files of the package sent to the simulated
// file receiver at 38400 baud 8N2, each compared with the package at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/LineRecorder.h"
#include "SessionRig.h"
#include "comport/Comport.h"
#include "platform/SerialLoopback.h"

namespace sessiontest {
namespace {

using testsupport::LineRecorder;

using Outcome = update::TUpdateForm::Outcome;

// A program file: random bytes with its version as a UTF-16 string near the end, where a
// program's version resource lies.
std::string ProgramFile(std::size_t size, const std::string& version, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  std::string text = "VERS: " + version;
  std::size_t at = size >= 200 ? (size - 100) & ~std::size_t{1} : 0;
  for (std::size_t i = 0; i <= text.size() && at + 2 * i + 1 < size; ++i) {
    bytes[at + 2 * i] = i < text.size() ? text[i] : '\0';
    bytes[at + 2 * i + 1] = '\0';
  }
  return bytes;
}

std::string DataFile(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

sim::InstrumentConfig WinCEInstrument() {
  sim::InstrumentConfig c;
  c.version = "1.01";
  c.wince.enabled = true;
  // The sessions run on the virtual clock and do not tick the instrument: its restart's "!"
  // comes before the answer to the session's next command.
  return c;
}

struct WinCEUpdate {
  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<LineRecorder> recorder;
  SessionRig rig;
  Package package;

  // files: name -> content; the first is the first program file.
  WinCEUpdate(sim::InstrumentConfig c, const std::vector<std::pair<std::string, std::string>>& files) {
    std::string progFile2;
    for (const auto& [name, content] : files) {
      progFile2 += (progFile2.empty() ? "" : ",") + name;
      package.files[name] = content;
    }
    package.rows[0].progFile2 = progFile2;
    package.rows[0].swKenn2 = "VERS:";
    c.clock = [this] { return rig.clock.Milliseconds(); };
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    recorder = std::make_unique<LineRecorder>(*instrument);
    rig.WritePackage(package);
    rig.Ports(1, 1, nullptr);
    platform::UnregisterLoopbackPort(1);
    platform::RegisterLoopbackPort(1, recorder.get());
    rig.Start();
  }
  ~WinCEUpdate() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument->Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& l : rig.MemoLines()) std::printf("  memo %s\n", l.c_str());
    }
  }
  // The instrument holds the package file under its name, byte for byte.
  ::testing::AssertionResult Holds(const std::string& name) const {
    for (const sim::WinCEFile& f : instrument->WinCEFiles()) {
      if (f.name != name) continue;
      const std::string& want = package.files.at(name);
      if (std::string(f.data.begin(), f.data.end()) != want)
        return ::testing::AssertionFailure() << name << ": " << f.data.size() << " bytes differ from the "
                                             << want.size() << " of the package";
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << name << " was not received";
  }
  std::vector<LineRecorder::Write> Writes() const { return recorder->Writes(); }
};

std::vector<std::string> Names(const std::vector<LineRecorder::Write>& writes, std::size_t from, std::size_t to) {
  std::vector<std::string> names;
  for (std::size_t i = from; i < to && i < writes.size(); ++i) names.push_back(LineRecorder::Name(writes[i].bytes));
  return names;
}

std::size_t Find(const std::vector<LineRecorder::Write>& writes, const std::string& name, std::size_t from = 0) {
  for (std::size_t i = from; i < writes.size(); ++i)
    if (LineRecorder::Name(writes[i].bytes) == name) return i;
  return writes.size();
}

TEST(WinCEUpdate, TheFirstFileAndTwoFurtherFilesArriveWholeInTheDialoguesOrder) {
  // 4500 bytes: two full blocks and 500; 4000: exactly two full blocks; an empty file: one
  // packet without bytes.
  WinCEUpdate u(WinCEInstrument(), {{"TORVEX.EXE", ProgramFile(4500, "1.02", 1)},
                                    {"HELP.DLL", DataFile(4000, 2)},
                                    {"PARAMS.DAT", ""}});
  ASSERT_TRUE(u.rig.RunSession());
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), Outcome::Succeeded);
  EXPECT_TRUE(u.rig.MemoHas("Download successfully completed !"));
  EXPECT_TRUE(u.Holds("TORVEX.EXE"));
  EXPECT_TRUE(u.Holds("HELP.DLL"));
  EXPECT_TRUE(u.Holds("PARAMS.DAT"));
  EXPECT_EQ(u.instrument->WinCEReceived(), (std::vector<std::string>{"TORVEX.EXE", "HELP.DLL", "PARAMS.DAT"}));

  auto writes = u.Writes();
  const std::size_t up = Find(writes, "A.1300#38400");
  const std::size_t down = Find(writes, "A.1300#9600", up);
  ASSERT_LT(down, writes.size());
  ASSERT_GT(up, 0u);
  EXPECT_EQ(Names(writes, up - 1, down + 1),
            (std::vector<std::string>{"A.1000", "A.1300#38400", "A.1205", "D", "D", "D", "A.1202", "A.1205", "D",
                                      "D", "A.1202", "A.1205", "D", "A.1202", "A.1203", "A.1300#9600"}));
  // The speed commands go out at the old rate; everything between them at 38400 8N2.
  EXPECT_EQ(writes[up].line.baud, 9600u);
  for (std::size_t i = up + 1; i <= down; ++i) {
    EXPECT_EQ(writes[i].line.baud, 38400u) << LineRecorder::Name(writes[i].bytes);
    EXPECT_EQ(writes[i].line.stopBits, platform::StopBits::Two);
    EXPECT_EQ(writes[i].line.parity, platform::Parity::None);
  }
  ASSERT_LT(down + 1, writes.size());
  EXPECT_EQ(writes[down + 1].line.baud, 9600u) << "the line is back at the instrument's rate";
  // The announcement names the file, its DOS time stamp and its size; the empty file's
  // packet carries no byte and the check character of the empty block.
  EXPECT_EQ(writes[up + 1].bytes.rfind("A.1205#TORVEX.EXE,", 0), 0u) << writes[up + 1].bytes;
  EXPECT_NE(writes[up + 1].bytes.find(",4500\r\n"), std::string::npos) << writes[up + 1].bytes;
  const std::size_t empty = Find(writes, "D", Find(writes, "A.1205", up + 9));
  EXPECT_EQ(writes[empty].bytes, std::string("D.0,\xFF#"));
  // The instrument restarted with the new files and the session ended with its end command.
  EXPECT_EQ(u.instrument->FirmwareStarts(), 1);
  EXPECT_EQ(u.instrument->Commands().back(), "A.1111");
}

// The instrument asks for a packet again once; the copy goes out unchanged and the files
// still arrive whole.
TEST(WinCEUpdate, APacketAskedForAgainIsSentAgainAndTheTransferCompletes) {
  sim::InstrumentConfig c = WinCEInstrument();
  c.textFaults.push_back({sim::TextFaultKind::AskAgain, "D", 2, 1, 2});
  WinCEUpdate u(c, {{"TORVEX.EXE", ProgramFile(5000, "1.02", 3)}, {"HELP.DLL", DataFile(2500, 4)}});
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(u.rig.form->SessionOutcome(), Outcome::Succeeded);
  EXPECT_TRUE(u.Holds("TORVEX.EXE"));
  EXPECT_TRUE(u.Holds("HELP.DLL"));
  auto writes = u.Writes();
  const std::size_t second = Find(writes, "D", Find(writes, "D") + 1);
  ASSERT_LT(second + 1, writes.size());
  EXPECT_EQ(LineRecorder::Name(writes[second + 1].bytes), "D");
  EXPECT_EQ(writes[second + 1].bytes, writes[second].bytes) << "the same packet, header and bytes";
}

// The instrument stops answering in the middle of the first file: after 8 s the transfer
// fails, the port is back at the instrument's rate and OK runs the transfer again.
TEST(WinCEUpdate, ASilentInstrumentFailsAfterEightSecondsWithTheLineRestored) {
  sim::InstrumentConfig c = WinCEInstrument();
  c.textFaults.push_back({sim::TextFaultKind::Silence, "D", 2, 1});
  WinCEUpdate u(c, {{"TORVEX.EXE", ProgramFile(6000, "1.02", 5)}});
  ASSERT_TRUE(u.rig.RunSession());
  auto& form = *u.rig.form;
  EXPECT_EQ(form.SessionOutcome(), Outcome::Failed);
  EXPECT_TRUE(u.rig.MemoHas("did not answer within 8 seconds: block @2000 of TORVEX.EXE")) << "the reason stays";
  EXPECT_TRUE(u.rig.MemoHas("Aborted"));
  EXPECT_FALSE(u.rig.MemoHas("Download successfully completed")) << "the file did not arrive whole";
  platform::LineSettings line = form.InstrumentPortObject()->LoadV24Parameter();
  EXPECT_EQ(line.baud, 9600u);
  EXPECT_EQ(form.Queue().HandlerCount(), 2u) << "the session and the retry on OK";
  ASSERT_TRUE(form.OkBitBtn->Enabled());

  // The instrument gives its file receiver up after 10 s of silence; then OK repeats the
  // transfer, which now goes through.
  u.rig.RunUntil([] { return false; }, 3000);
  ASSERT_TRUE(u.rig.RunSession());
  EXPECT_EQ(form.SessionOutcome(), Outcome::Succeeded);
  EXPECT_TRUE(u.Holds("TORVEX.EXE"));
}

// The start-up program's version in the instrument decides how files are announced: from
// 106 on "A.1201#" (the instrument may skip a file it has), below "A.1205#" (always taken).
TEST(WinCEUpdate, StartupVersionDecidesTheAnnouncement) {
  struct Case {
    const char* reported;
    std::int32_t version;
    const char* command;
  } cases[] = {{"0.105", 105, "A.1205"}, {"0.106", 106, "A.1201"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reported);
    sim::InstrumentConfig c = WinCEInstrument();
    // "A.2100" (sent for a package with a start-up program) is answered with that version.
    c.extraReplies.push_back({"A.2100", std::string("I.2011#") + k.reported});
    WinCEUpdate u(c, {{"TORVEX.EXE", ProgramFile(3000, "1.02", 6)},
                      {"HELP.DLL", DataFile(100, 7)},
                      {"TORVEXSTARTUP.EXE", ProgramFile(2100, "0.107", 8)}});
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_EQ(u.rig.form->Record().deviceStartupVersion, k.version);
    EXPECT_EQ(u.rig.form->SessionOutcome(), Outcome::Succeeded);
    auto writes = u.Writes();
    std::vector<std::string> announced;
    for (const auto& w : writes) {
      std::string name = LineRecorder::Name(w.bytes);
      if (name == "A.1201" || name == "A.1205") announced.push_back(name);
    }
    EXPECT_EQ(announced, std::vector<std::string>(3, k.command));
    EXPECT_TRUE(u.Holds("TORVEXSTARTUP.EXE")) << "the instrument's start-up program is older";
  }
}

// A current start-up program in the instrument is left out of the transfer; an instrument
// that reports a start-up version for a package without one gets every file.
TEST(WinCEUpdate, TheStartupBlockIsLeftOutOnlyWhenThereIsOne) {
  {
    sim::InstrumentConfig c = WinCEInstrument();
    c.extraReplies.push_back({"A.2100", "I.2011#0.107"});
    WinCEUpdate u(c, {{"TORVEX.EXE", ProgramFile(3000, "1.02", 9)},
                      {"HELP.DLL", DataFile(100, 10)},
                      {"TORVEXSTARTUP.EXE", ProgramFile(2100, "0.107", 11)}});
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_EQ(u.rig.form->SessionOutcome(), Outcome::Succeeded);
    EXPECT_EQ(u.instrument->WinCEReceived(), (std::vector<std::string>{"TORVEX.EXE", "HELP.DLL"}));
  }
  {
    sim::InstrumentConfig c = WinCEInstrument();
    c.extraReplies.push_back({"A.2001", "I.2011#0.107"});
    WinCEUpdate u(c, {{"TORVEX.EXE", ProgramFile(3000, "1.02", 12)},
                      {"HELP.DLL", DataFile(100, 13)},
                      {"PARAMS.DAT", DataFile(10, 14)}});
    ASSERT_TRUE(u.rig.RunSession());
    EXPECT_EQ(u.rig.form->SessionOutcome(), Outcome::Succeeded);
    EXPECT_EQ(u.instrument->WinCEReceived(), (std::vector<std::string>{"TORVEX.EXE", "HELP.DLL", "PARAMS.DAT"}));
  }
}

}  // namespace
}  // namespace sessiontest
