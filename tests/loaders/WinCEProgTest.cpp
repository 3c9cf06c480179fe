// TWinCEProg on the fake host against the simulated file receiver: files refused before the
// instrument is touched, a file that cannot be read in the middle, the instrument's skip and
// its requests to send a packet again, and the rate it is told to go back to.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "comport/Comport.h"
#include "loaders/Winceprog_unit.h"
#include "platform/Application.h"
#include "platform/SerialLoopback.h"
#include "sim/Instrument.h"
#include "support/FakeHost.h"
#include "support/RunProgram.h"

namespace loaderstest {
namespace {

std::string Random(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

struct Registration {
  explicit Registration(platform::LoopbackPeer* peer) {
    platform::SetSerialPortMap(std::string());
    platform::RegisterLoopbackPort(1, peer);
  }
  ~Registration() {
    platform::UnregisterLoopbackPort(1);
    platform::SetSerialPortMap(std::nullopt);
  }
};

sim::InstrumentConfig Receiver(std::uint32_t baud = 9600) {
  sim::InstrumentConfig c;
  c.baud = baud;
  c.wince.enabled = true;
  return c;
}

// The instrument in command mode on COM1 at its text rate, the fake host's port at that rate.
struct Bench {
  sim::Instrument instrument;
  Registration registration{&instrument};
  testsupport::FakeHost host;
  std::string first = "TORVEX.EXE";

  explicit Bench(sim::InstrumentConfig c, std::uint32_t baud = 9600) : instrument(OnHostClock(std::move(c))) {
    host.folder = testsupport::MakeTempDir("wince");
    platform::LineSettings line = host.port->LoadV24Parameter();
    line.baud = baud;
    line.dataBits = 8;
    line.stopBits = platform::StopBits::Two;
    host.port->SaveV24Parameter(&line);
    host.port->ChangeV24TimeOut(-1, -1, -1, 0);
  }
  ~Bench() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument.Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& r : host.reports) std::printf("  report %s\n", r.c_str());
    }
    std::filesystem::remove_all(host.folder);
  }
  static sim::InstrumentConfig OnHostClock(sim::InstrumentConfig c) {
    c.clock = [] { return platform::HasApp() ? platform::App().GetClock().Milliseconds() : 0u; };
    return c;
  }
  void File(const std::string& name, const std::string& bytes) {
    std::ofstream(host.folder + "/" + name, std::ios::binary) << bytes;
  }
  bool Run(bool repeat = false) {
    loaders::TWinCEProg p(host.Context());
    return p.Run(0, first, repeat);
  }
  bool Reported(const std::string& text) const {
    for (const std::string& r : host.reports)
      if (r.find(text) != std::string::npos) return true;
    return false;
  }
  // After the run: no handler, no timer, the line at the rate it had.
  void ExpectCleanedUp(std::uint32_t baud = 9600) {
    EXPECT_EQ(host.queue.HandlerCount(), 0u);
    for (std::int32_t i = 1; i <= host.timers.Count(); ++i) EXPECT_FALSE(host.timers.Busy(i)) << "timer " << i;
    platform::LineSettings line = host.port->LoadV24Parameter();
    EXPECT_EQ(line.baud, baud);
  }
};

TEST(WinCEProg, FilesThatCannotBeSentWholeAreRefusedBeforeTheInstrumentIsTouched) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::size_t>> files;  // name, size; the first is the first file
    std::vector<std::string> list;                           // the FileList
    const char* says;
  } cases[] = {
      {"a further file missing", {{"TORVEX.EXE", 100}}, {"HELP.DLL"}, "The package file HELP.DLL is missing !"},
      {"a file larger than the transfer holds", {{"TORVEX.EXE", 100}, {"BIG.DAT", 3000001}}, {"BIG.DAT"},
       "The package file BIG.DAT is too large: more than 3000000 bytes."},
      {"a name too long for its announcement", {{"TORVEX.EXE", 100}, {std::string(146, 'N'), 5}},
       {std::string(146, 'N')}, "too long for the transfer (at most 167 characters"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(Receiver());
    for (const auto& [name, size] : c.files) b.File(name, std::string(size, 'x'));
    b.host.record.fileList = c.list;
    EXPECT_FALSE(b.Run());
    EXPECT_TRUE(b.Reported(c.says));
    EXPECT_TRUE(b.instrument.Commands().empty()) << "nothing was sent";
    b.ExpectCleanedUp();
  }
  // A name that just fits is announced.
  Bench b(Receiver());
  b.File("TORVEX.EXE", "x");
  b.File(std::string(145, 'N'), "y");
  b.host.record.fileList = {std::string(145, 'N')};
  EXPECT_TRUE(b.Run());
  EXPECT_EQ(b.instrument.WinCEReceived().size(), 2u);
}

// The second file goes away while the first is sent: the transfer ends as failed, naming
// the file, with the handler removed, the timer stopped and the line back at its rate.
TEST(WinCEProg, AFileThatCannotBeReadInTheMiddleEndsTheTransfer) {
  Bench b(Receiver());
  b.File("TORVEX.EXE", Random(3000, 1));
  b.File("HELP.DLL", Random(100, 2));
  b.host.record.fileList = {"HELP.DLL"};
  const std::string help = b.host.folder + "/HELP.DLL";
  b.instrument.SetLogSink([help](const sim::LogEntry& e) {
    if (e.text.rfind("received TORVEX.EXE", 0) == 0) std::filesystem::remove(help);
  });
  EXPECT_FALSE(b.Run());
  EXPECT_TRUE(b.Reported("The package file HELP.DLL cannot be read !"));
  EXPECT_EQ(b.instrument.WinCEReceived(), std::vector<std::string>{"TORVEX.EXE"});
  b.ExpectCleanedUp();
}

TEST(WinCEProg, TheInstrumentsRequestsToSendAPacketAgain) {
  struct Case {
    const char* what;
    int value, count;
    bool ok;
    const char* says;
    int packets;  // packets written
  } cases[] = {
      {"asked again up to the limit", 2, 3, true, "", 4 + 1},
      {"asked again once more than the limit", 2, 4, false, "asked for block @0 of TORVEX.EXE again too often (3 repetitions)", 4},
      {"another value gives up", 3, 1, false, "gave the transfer up (reply 261 with the value 3)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::InstrumentConfig cfg = Receiver();
    cfg.textFaults.push_back({sim::TextFaultKind::AskAgain, "D", 1, c.count, c.value});
    Bench b(cfg);
    b.File("TORVEX.EXE", Random(2500, 3));
    EXPECT_EQ(b.Run(), c.ok);
    EXPECT_EQ(b.instrument.WinCEBlocks(), c.packets);
    if (!c.ok) {
      EXPECT_TRUE(b.Reported(c.says));
    }
    b.ExpectCleanedUp();
  }
}

// From start-up version 106 on the files are announced with "A.1201#": the instrument skips
// one it has in the same or a newer version ("I.260"), and the transfer goes on.
TEST(WinCEProg, AFileTheInstrumentHasIsSkipped) {
  sim::InstrumentConfig c = Receiver();
  const std::string old = Random(50, 4);
  c.wince.existing.push_back({"HELP.DLL", 0xFFFF0000u, {old.begin(), old.end()}, 0});
  Bench b(c);
  b.File("TORVEX.EXE", Random(2100, 5));
  b.File("HELP.DLL", Random(300, 6));
  b.File("PARAMS.DAT", Random(30, 7));
  b.host.record.fileList = {"HELP.DLL", "PARAMS.DAT"};
  b.host.record.deviceStartupVersion = 106;
  EXPECT_TRUE(b.Run());
  EXPECT_EQ(b.instrument.WinCEReceived(), (std::vector<std::string>{"TORVEX.EXE", "PARAMS.DAT"}));
  for (const sim::WinCEFile& f : b.instrument.WinCEFiles())
    if (f.name == "HELP.DLL") {
      EXPECT_EQ(std::string(f.data.begin(), f.data.end()), old);
    }
  // With the user's consent to a repeat every file is taken.
  Bench again(c);
  again.File("TORVEX.EXE", Random(10, 8));
  again.File("HELP.DLL", Random(20, 9));
  again.host.record.fileList = {"HELP.DLL"};
  again.host.record.deviceStartupVersion = 106;
  EXPECT_TRUE(again.Run(true));
  EXPECT_EQ(again.instrument.WinCEReceived(), (std::vector<std::string>{"TORVEX.EXE", "HELP.DLL"}));
}

// The instrument goes away in the middle of the file: the run ends at once, not after the
// step's 8 s, and says why.
TEST(WinCEProg, AnUnpluggedLineEndsTheTransferAtOnce) {
  sim::InstrumentConfig c = Receiver();
  c.wince.disconnectAfterBlocks = 2;
  Bench b(c);
  b.instrument.SetDisconnectHandler([] { platform::HangUpLoopbackPort(1); });
  b.File("TORVEX.EXE", Random(9000, 11));
  const std::uint32_t start = b.host.clock.Milliseconds();
  EXPECT_FALSE(b.Run());
  EXPECT_LT(b.host.clock.Milliseconds() - start, loaders::TWinCEProg::kStepTimeoutMs);
  EXPECT_TRUE(b.Reported("went away"));
  EXPECT_EQ(b.host.queue.HandlerCount(), 0u);
}

// The instrument is told to go back to the rate it answered at (which the search found),
// not to the rate the port's stored parameter set holds.
TEST(WinCEProg, TheWayBackIsToTheRateTheInstrumentAnsweredAt) {
  Bench b(Receiver(19200), 19200);
  ASSERT_NE(b.host.port->GetV24Parameter().Baudrate, comport::B_19200);
  b.File("TORVEX.EXE", Random(10, 10));
  EXPECT_TRUE(b.Run());
  auto cmds = b.instrument.Commands();
  EXPECT_EQ(cmds.back(), "A.1300#19200");
  b.ExpectCleanedUp(19200);
}

}  // namespace
}  // namespace loaderstest
