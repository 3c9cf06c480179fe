// The Basic-Loader terminal on the fake host against the simulated loader, which sits in its
// loader waiting for the PC: the blocks, the loader's silence, an unplugged line, the
// window's close, and reports that do not belong to the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "comport/Comport.h"
#include "loaders/Termprogmain.h"
#include "platform/Application.h"
#include "platform/SerialLoopback.h"
#include "sim/BasicLoader.h"
#include "sim/Instrument.h"
#include "support/FakeHost.h"
#include "support/LineRecorder.h"
#include "support/RunProgram.h"

namespace loaderstest {
namespace {

using Result = loaders::BasicLoaderProcedure::Result;

// S-records for n bytes from 0x1000, padded with empty lines to exactly size bytes when
// size is given.
std::string Image(std::size_t n, std::size_t size = 0) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::mt19937 random(static_cast<std::uint32_t>(n));
  for (std::size_t i = 0; i < n; ++i) bytes[0x1000 + static_cast<std::uint32_t>(i)] = static_cast<std::uint8_t>(random());
  std::string text = sim::FormatSRecords(bytes, "T", 0x1000);
  while (text.size() + 2 <= size) text += "\r\n";
  return text;
}

// Registers the peer as COM1 for the life of the bench (before the host opens its port).
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

struct Bench {
  sim::Instrument instrument;
  testsupport::LineRecorder recorder{instrument};
  Registration registration{&recorder};
  testsupport::FakeHost host;
  std::vector<Result> ends;
  std::unique_ptr<loaders::BasicLoaderProcedure> terminal;

  explicit Bench(sim::InstrumentConfig c = {}) : instrument(Loader(std::move(c))) {
    host.folder = testsupport::MakeTempDir("basic");
    host.record.bootCharacter = '0';
    platform::LineSettings line = host.port->LoadV24Parameter();
    line.baud = 9600;
    line.dataBits = 8;
    host.port->SaveV24Parameter(&line);
  }
  ~Bench() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument.Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
      for (const auto& r : host.reports) std::printf("  report %s\n", r.c_str());
    }
    terminal.reset();
    std::filesystem::remove_all(host.folder);
  }
  static sim::InstrumentConfig Loader(sim::InstrumentConfig c) {
    c.basic.enabled = true;
    c.basic.startInLoader = true;
    c.clock = [] { return platform::HasApp() ? platform::App().GetClock().Milliseconds() : 0u; };
    return c;
  }
  void File(const std::string& name, const std::string& bytes) {
    std::ofstream(host.folder + "/" + name, std::ios::binary) << bytes;
  }
  void Start() {
    terminal = std::make_unique<loaders::BasicLoaderProcedure>(host.Context(), [this](Result r) { ends.push_back(r); });
  }
  bool RunUntilEnd(std::uint32_t ms = 10 * 60 * 1000) {
    return host.app.RunUntil([this] { return !ends.empty(); }, ms);
  }
  std::vector<std::size_t> Blocks() const {
    std::vector<std::size_t> sizes;
    for (const auto& w : recorder.Writes())
      if (w.line.ctsFlow) sizes.push_back(w.bytes.size());
    return sizes;
  }
  bool Reported(const std::string& text) const {
    for (const std::string& r : host.reports)
      if (r.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST(BasicTerminal, ImagesAreSentInBlocksOf2000WithoutAnEmptyWrite) {
  struct Case {
    const char* what;
    std::string image;
    std::vector<std::size_t> blocks;
  } cases[] = {
      {"exactly two blocks", Image(1500, 4000), {2000, 2000}},
      {"less than one block", Image(200), {0}},
      {"two blocks and a rest", Image(1700), {2000, 2000, 0}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.blocks.back() == 0) c.blocks.back() = c.image.size() - 2000 * (c.blocks.size() - 1);
    Bench b;
    b.File("L3_TermH.A37", c.image);
    b.Start();
    ASSERT_TRUE(b.RunUntilEnd());
    EXPECT_EQ(b.ends, std::vector<Result>{Result::Programmed});
    EXPECT_EQ(b.Blocks(), c.blocks);
    EXPECT_TRUE(b.Reported("Program successfully programmed !"));
    EXPECT_EQ(b.host.app.Beeps(), 1);
    ASSERT_FALSE(b.host.titles.empty());
    EXPECT_EQ(b.host.titles.back(), -1000.0f) << "the finished form";
    EXPECT_EQ(b.host.bar->Position(), 100);
    // The line is the loader's: 19200 with the handshake.
    platform::LineSettings line = b.host.port->LoadV24Parameter();
    EXPECT_EQ(line.baud, 19200u);
    EXPECT_TRUE(line.ctsFlow);
  }
}

// The loader stops answering in the middle: the terminal gives up after 30 s of silence.
TEST(BasicTerminal, ASilentLoaderEndsTheRunAfterThirtySeconds) {
  sim::InstrumentConfig c;
  c.basic.fault = sim::BasicFaultKind::Silence;
  c.basic.faultRecord = 3;
  Bench b(c);
  b.File("L3_TermH.A37", Image(3000));
  b.Start();
  std::uint32_t start = b.host.clock.Milliseconds();
  ASSERT_TRUE(b.RunUntilEnd());
  EXPECT_EQ(b.ends, std::vector<Result>{Result::Aborted});
  EXPECT_GE(b.host.clock.Milliseconds() - start, 30000u);
  EXPECT_LT(b.host.clock.Milliseconds() - start, 35000u);
  EXPECT_TRUE(b.Reported("has not answered for 30 seconds"));
  EXPECT_TRUE(b.Reported("Programming abort !"));
  EXPECT_TRUE(b.terminal->Aborted());
}

// The instrument loses its power in the middle: the line goes away and the run ends at once.
TEST(BasicTerminal, AnUnpluggedLineEndsTheRun) {
  sim::InstrumentConfig c;
  c.basic.fault = sim::BasicFaultKind::Abort;
  c.basic.faultRecord = 10;
  Bench b(c);
  b.instrument.SetDisconnectHandler([] { platform::HangUpLoopbackPort(1); });
  b.File("L3_TermH.A37", Image(6000));
  b.Start();
  std::uint32_t start = b.host.clock.Milliseconds();
  ASSERT_TRUE(b.RunUntilEnd());
  EXPECT_EQ(b.ends, std::vector<Result>{Result::Aborted});
  EXPECT_LT(b.host.clock.Milliseconds() - start, 5000u);
  EXPECT_TRUE(b.Reported("went away"));
}

// The window closes while blocks flow: none follows. Each write takes a little time, so that
// the upload is still going when the window closes.
TEST(BasicTerminal, TheWindowsCloseStopsTheBlocks) {
  Bench b;
  b.recorder.SetWriteTime(std::chrono::milliseconds(5));
  const std::string image = Image(6000);
  b.File("L3_TermH.A37", image);
  b.Start();
  ASSERT_TRUE(b.host.app.RunUntil([&b] { return !b.Blocks().empty(); }, 60000));
  b.terminal->Abort();
  const std::size_t sent = b.Blocks().size();
  b.host.app.RunUntil([] { return false; }, 60000);
  EXPECT_LE(b.Blocks().size(), sent + 1) << "at most the block already handed over";
  EXPECT_LT(b.terminal->BytesSent(), image.size());
  EXPECT_EQ(b.instrument.BasicLoaderPhase(), sim::BasicLoader::Phase::Receiving);
}

// A report of success before the image was sent, and a second request for the file, are no
// part of this upload: the upload goes on and ends with the loader's real report.
TEST(BasicTerminal, ReportsThatDoNotBelongToTheUploadChangeNothing) {
  Bench b;
  b.recorder.SetWriteTime(std::chrono::milliseconds(5));
  const std::string image = Image(4000);
  b.File("L3_TermH.A37", image);
  b.Start();
  ASSERT_TRUE(b.host.app.RunUntil([&b] { return !b.Blocks().empty(); }, 60000));
  ASSERT_LT(b.terminal->BytesSent(), image.size()) << "the upload is still going";
  b.instrument.SendLine("Waiting for S-Record !");
  b.instrument.SendLine("Flash-Memory (1) programmed !");
  ASSERT_TRUE(b.RunUntilEnd());
  EXPECT_EQ(b.ends, std::vector<Result>{Result::Programmed});
  std::size_t total = 0;
  for (std::size_t n : b.Blocks()) total += n;
  EXPECT_EQ(total, image.size()) << "one upload";
  EXPECT_EQ(b.instrument.BasicLoaderPhase(), sim::BasicLoader::Phase::Programmed);
}

TEST(BasicTerminal, ImageByBootCharacterAndAMissingImage) {
  EXPECT_STREQ(loaders::BasicLoaderProcedure::ImageFileFor('0'), "L3_TermH.A37");
  EXPECT_STREQ(loaders::BasicLoaderProcedure::ImageFileFor('1'), "L3_TermL.A37");
  EXPECT_STREQ(loaders::BasicLoaderProcedure::ImageFileFor(0), "L3_TermL.A37") << "no boot character reported";
  Bench b;
  b.host.record.bootCharacter = '7';
  b.host.language = 0;
  b.Start();
  EXPECT_EQ(b.ends, std::vector<Result>{Result::Aborted});
  ASSERT_FALSE(b.host.app.Boxes().empty());
  EXPECT_EQ(b.host.app.Boxes().back().text, "L3_TermL.A37 konnte nicht ge\xF6""ffnet werden");
  EXPECT_EQ(b.host.app.Boxes().back().caption, " Error ");
  platform::LineSettings line = b.host.port->LoadV24Parameter();
  EXPECT_EQ(line.baud, 9600u) << "the loader is not made to erase";
  EXPECT_FALSE(line.ctsFlow);
}

}  // namespace
}  // namespace loaderstest
