// T_EMFLoader on the fake host against the simulated instrument as COM1. The instrument's text
// replies go through the session's reply parser, as in the window; what the host writes is
// recorded with the line it was written at.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "loaders/Emf_loadunit.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "procedure/Notifications.h"
#include "sim/Instrument.h"
#include "support/FakeHost.h"
#include "support/RunProgram.h"
#include "update/Replies.h"

namespace loaderstest {
namespace {

namespace xm = loaders::xmodem;
using Bytes = std::vector<std::uint8_t>;

class Recorder : public platform::LoopbackPeer {
 public:
  struct Write {
    std::string bytes;
    platform::LineSettings line;
  };
  explicit Recorder(platform::LoopbackPeer* peer) : peer_(peer) {}
  void Attach(platform::LoopbackLine* line) override { peer_->Attach(line); }
  void OnHostBytes(const std::uint8_t* d, std::size_t n, const platform::LineSettings& line) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes_.push_back({std::string(reinterpret_cast<const char*>(d), n), line});
    }
    peer_->OnHostBytes(d, n, line);
  }
  void OnHostLineChanged(const platform::LineSettings& line) override { peer_->OnHostLineChanged(line); }
  bool Busy() override { return peer_->Busy(); }
  std::vector<Write> Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  // The text writes (no packets), for comparing dialogues.
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const Write& w : Writes())
      if (w.bytes.size() < 20 && (w.bytes.empty() || w.bytes[0] != 0x01)) out.push_back(w.bytes);
    return out;
  }

 private:
  platform::LoopbackPeer* peer_;
  mutable std::mutex mutex_;
  std::vector<Write> writes_;
};

class Bench : public update::ReplyHost {
 public:
  explicit Bench(sim::InstrumentConfig c) {
    c.xmodem.enabled = true;
    c.clock = [this] { return host ? host->clock.Milliseconds() : 0u; };
    instrument = std::make_unique<sim::Instrument>(std::move(c));
    recorder = std::make_unique<Recorder>(instrument.get());
    platform::SetSerialPortMap(std::string());
    platform::RegisterLoopbackPort(1, recorder.get());
    host = std::make_unique<testsupport::FakeHost>(1);
    host->folder = testsupport::MakeTempDir("emf");
    // The line the session found the instrument at.
    host->port->ChangeV24Parameter(comport::B__9600, comport::S_1, comport::NoParity, false);
    parser = std::make_unique<update::ReplyParser>(*this, host->queue);
    // Older than the procedure's handler: it gets the data the procedure passes on.
    host->queue.AddHandler(kernel::Bind<&Bench::Replies>(), this);
    ticker = std::make_unique<platform::Timer>(nullptr, "Tick");
    ticker->SetInterval(100);
    ticker->OnTimer = [this](platform::Timer&) { instrument->Tick(); };
    ticker->SetEnabled(true);
  }
  ~Bench() override {
    ticker.reset();
    host->queue.RemoveHandler(kernel::Bind<&Bench::Replies>(), this);
    std::filesystem::remove_all(host->folder);
    host.reset();
    platform::UnregisterLoopbackPort(1);
    platform::SetSerialPortMap(std::nullopt);
    if (::testing::Test::HasFailure())
      for (const auto& e : instrument->Log()) std::printf("  sim %6u %-10s %s\n", e.ms, e.kind.c_str(), e.text.c_str());
  }

  void File(const std::string& name, const std::string& bytes) {
    std::ofstream(host->folder + "/" + name, std::ios::binary) << bytes;
  }
  bool Run(int sensorUpdate, const std::string& name = "FW.BIN") {
    loaders::T_EMFLoader p(host->Context());
    const bool ok = p.Run(sensorUpdate, name, false);
    error = p.ErrorCode();
    return ok;
  }

  // ReplyHost
  int PortIndexOf(int com) override { return com == 1 ? 0 : -1; }
  int ReadPort(int index, char* buf, unsigned n) override {
    return index == 0 ? static_cast<int>(host->port->Read(buf, n)) : -10;
  }
  int InstrumentPort() const override { return 0; }
  void SetInstrumentPort(int, int) override {}
  void Trace(const std::string&) override {}

  std::unique_ptr<sim::Instrument> instrument;
  std::unique_ptr<Recorder> recorder;
  std::unique_ptr<testsupport::FakeHost> host;
  std::unique_ptr<update::ReplyParser> parser;
  std::unique_ptr<platform::Timer> ticker;
  int error = -1;

 private:
  kernel::Event Replies(kernel::EventQueue&, kernel::Event ev) {
    if (ev.kind != kernel::EvNotify || ev.code != procedure::NotifyRxData) return ev;
    parser->ReadReplies(static_cast<int>(ev.payload));
    return kernel::EventQueue::ConsumeEvent(ev);
  }
};

std::string Binary(std::size_t n) {
  std::string b(n, '\0');
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<char>(i * 29 + 3);
  return b;
}

Bytes Padded(const std::string& file) { return xm::PrepareImage(Bytes(file.begin(), file.end())).bytes; }

TEST(EmfLoaderRun, ShowsTheLoaderVersionAndProgramsTheImage) {
  sim::InstrumentConfig c;
  c.xmodem.version = "1.05,2009";
  Bench b(c);
  const std::string file = Binary(700);
  b.File("FW.BIN", file);
  ASSERT_TRUE(b.Run(0));
  EXPECT_EQ(b.error, 0);
  EXPECT_EQ(b.host->softwareVersion, "   [BLV: 1.05]");
  EXPECT_EQ(b.instrument->XmodemReceived(), Padded(file));
  EXPECT_EQ(b.instrument->FirmwareStarts(), 1);
  EXPECT_EQ(b.recorder->Texts(),
            (std::vector<std::string>{"A.1000\r\n", "A.1250#", "7\r\n", "A.2051\r\n", "u", "\x04", "c", "r"}));
  // The line is back at the instrument's text settings; the progress bar went through every packet.
  EXPECT_EQ(b.host->port->LoadV24Parameter().baud, 9600u);
  EXPECT_EQ(b.host->port->LoadV24Parameter().stopBits, platform::StopBits::One);
  EXPECT_FLOAT_EQ(b.host->titles.back(), -1.0f);
  EXPECT_NE(std::find(b.host->titles.begin(), b.host->titles.end(), 100.0f), b.host->titles.end());
}

// A sensor's firmware without a sensor: the instrument restarts on "A.1256" and takes its start
// command at 9600 afterwards, so the loader listens at 9600 (the rate its code said), not at
// 115200. In StartMode 2 the line stays at 9600 8N2 for the sensor.
TEST(EmfLoaderRun, SensorFirmwareWithoutASensorRestartsTheInstrumentAndRunsTheLoaderAt9600) {
  Bench b(sim::InstrumentConfig{});
  b.host->record.noSensorFlag = true;
  b.host->startMode = procedure::StartModeTag::Sensor;
  const std::string file = Binary(300);
  b.File("FW.BIN", file);
  ASSERT_TRUE(b.Run(1));
  EXPECT_EQ(b.instrument->XmodemReceived(), Padded(file));
  EXPECT_EQ(b.recorder->Texts(),
            (std::vector<std::string>{"A.1000\r\n", "A.1256#", "7\r\n", "A.1250#", "3\r\n", "A.2051\r\n", "u",
                                      std::string("7628\r\n\0", 7), "\x04", "c", std::string("7628\r\n\0", 7), "r",
                                      std::string("7628\r\n\0", 7)}));
  for (const auto& w : b.recorder->Writes())
    if (w.bytes.size() == 133) {
      EXPECT_EQ(w.line.baud, 9600u);
    }
  const platform::LineSettings end = b.host->port->LoadV24Parameter();
  EXPECT_EQ(end.baud, 9600u);
  EXPECT_EQ(end.stopBits, platform::StopBits::Two);
}

// The first file's "@": the loader is told 9600 ("3") and run there. A laboratory instrument is
// in command mode already: no "A.1000".
TEST(EmfLoaderRun, AtFlagRunsTheLoaderAt9600AndALaboratoryInstrumentGetsNoWakeUp) {
  Bench b(sim::InstrumentConfig{});
  b.host->record.firstFileAtFlag = true;
  b.host->record.laboratoryFlag = true;
  b.File("FW.BIN", Binary(130));
  ASSERT_TRUE(b.Run(0));
  const auto texts = b.recorder->Texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(texts[0], "A.1250#");
  EXPECT_EQ(texts[1], "3\r\n");
  for (const auto& w : b.recorder->Writes())
    if (w.bytes.size() == 133) {
      EXPECT_EQ(w.line.baud, 9600u);
    }
}

// A file larger than the image buffer, and a missing one, are refused before anything is sent.
TEST(EmfLoaderRun, ATooLargeOrMissingFileIsRefusedBeforeAnythingIsSent) {
  {
    Bench b(sim::InstrumentConfig{});
    b.File("BIG.BIN", std::string(loaders::T_EMFLoader::kMaxFileSize + 1, '\x5A'));
    EXPECT_FALSE(b.Run(0, "BIG.BIN"));
    EXPECT_EQ(b.error, loaders::T_EMFLoader::StImage);
    EXPECT_TRUE(b.recorder->Writes().empty());
    ASSERT_EQ(b.host->reports.size(), 1u);
    EXPECT_EQ(b.host->reports[0],
              "The file BIG.BIN is too large for the boot loader: 1499898 bytes, at most 1499897 bytes.");
    ASSERT_EQ(b.host->app.Boxes().size(), 1u);
  }
  {
    Bench b(sim::InstrumentConfig{});
    EXPECT_FALSE(b.Run(0, "NONE.BIN"));
    EXPECT_TRUE(b.recorder->Writes().empty());
    ASSERT_EQ(b.host->reports.size(), 1u);
    EXPECT_EQ(b.host->reports[0], "The package file NONE.BIN is missing !");
  }
}

// A loader that wants another unlock code refuses "u" with "?": the run ends then, not after
// the 10 s, and says which command was refused.
TEST(EmfLoaderRun, ARefusedUploadEndsTheRunAtOnce) {
  sim::InstrumentConfig c;
  c.xmodem.unlockCode = "1234";
  Bench b(c);
  b.File("FW.BIN", Binary(200));
  const std::uint32_t start = b.host->clock.Milliseconds();
  EXPECT_FALSE(b.Run(0));
  EXPECT_EQ(b.error, loaders::T_EMFLoader::StUpload);
  EXPECT_LT(b.host->clock.Milliseconds() - start, 3000u + 1000u + 1700u + 500u);
  ASSERT_FALSE(b.host->reports.empty());
  EXPECT_EQ(b.host->reports.back(), "The NAME refused the command u.");
  ASSERT_EQ(b.host->app.Boxes().size(), 1u);
  EXPECT_EQ(b.host->app.Boxes()[0].text, "Error in bootloader !!  Programming abort.");
  EXPECT_EQ(b.instrument->Xmodem().uploads, 0);
}

// An instrument that never reaches its loader: the box says the loader is not available. A
// silent one fails after the 10 s supervision; one that keeps sending its readings (which
// restart the supervision) after the step's answer limit of 30 s.
TEST(EmfLoaderRun, NoEchoOfTheStartCommandEndsWithBootloaderNotAvailable) {
  for (bool talkative : {false, true}) {
    SCOPED_TRACE(talkative ? "readings every second" : "silent");
    sim::InstrumentConfig c;
    c.textFaults.push_back({sim::TextFaultKind::Silence, "A.1250", 1, 10});
    Bench b(c);
    b.File("FW.BIN", Binary(200));
    platform::Timer readings(nullptr, "Readings");
    readings.SetInterval(1000);
    readings.OnTimer = [&](platform::Timer&) { b.instrument->SendLine("$ 7.012"); };
    readings.SetEnabled(talkative);
    const std::uint32_t start = b.host->clock.Milliseconds();
    EXPECT_FALSE(b.Run(0));
    const std::uint32_t seconds = talkative ? 30 : 10;
    EXPECT_EQ(b.error, loaders::T_EMFLoader::StStart);
    ASSERT_EQ(b.host->app.Boxes().size(), 1u);
    EXPECT_EQ(b.host->app.Boxes()[0].text, "bootloader in target not available!!  Programming abort.");
    EXPECT_EQ(b.host->reports.back(), "The NAME did not answer for " + std::to_string(seconds) + " seconds.");
    const std::uint32_t took = b.host->clock.Milliseconds() - start;
    EXPECT_GE(took, seconds * 1000);
    EXPECT_LE(took, seconds * 1000 + 1700 + 1000);
  }
}

}  // namespace
}  // namespace loaderstest
