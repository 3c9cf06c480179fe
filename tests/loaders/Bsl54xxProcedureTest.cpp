// The 5xx procedure against the simulated instrument's 5xx loader (written from the maker's
// description, not from this procedure), entered directly as after a retry: how each answer of
// the loader steers the run, and what happens to information memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "loaders/Bsl_54xx_unit.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLoopback.h"
#include "sim/Instrument.h"
#include "support/FakeHost.h"
#include "support/RunProgram.h"
#include "support/TestImages.h"

namespace loaderstest {
namespace {

using sim::FrameFault;
using sim::FrameFaultKind;

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

sim::InstrumentConfig InLoader(std::vector<FrameFault> faults = {}) {
  sim::InstrumentConfig c;
  c.loaderKind = sim::LoaderKind::Bsl5xx;
  c.startInLoader = true;
  c.frameFaults = std::move(faults);
  return c;
}

// The instrument sits in its loader holding the old firmware; the procedure takes the direct
// path (laboratory flag), as the retry on OK does.
struct Bench {
  sim::Instrument instrument;
  Registration registration{&instrument};
  testsupport::FakeHost host;
  std::string image;
  int error = -1;

  Bench(sim::InstrumentConfig c, std::string newImage, const std::string& oldImage = testsupport::TiTxt5xx("1.01"))
      : instrument(std::move(c)), image(std::move(newImage)) {
    std::string why;
    EXPECT_TRUE(instrument.LoadFirmware(oldImage, &why)) << why;
    host.folder = testsupport::MakeTempDir("bsl5xx");
    std::ofstream(host.folder + "/FW_TEST.TXT", std::ios::binary) << image;
    host.record.laboratoryFlag = true;
  }
  ~Bench() {
    if (::testing::Test::HasFailure()) {
      for (const auto& e : instrument.Log()) std::printf("  sim %-6s %s\n", e.kind.c_str(), e.text.c_str());
      for (const auto& t : host.traces) std::printf("  trace %s\n", t.c_str());
      for (const auto& r : host.reports) std::printf("  report %s\n", r.c_str());
    }
    std::filesystem::remove_all(host.folder);
  }
  bool Run() {
    loaders::T_BSL_54XX_430 p(host.Context());
    const bool ok = p.Run(0, "FW_TEST.TXT", false, true);
    error = p.ErrorCode();
    return ok;
  }
  // The cores of the frames of one command the loader received, in order ("12 00 FC 00").
  std::vector<std::string> Frames(std::uint8_t command) const {
    char head[4];
    std::snprintf(head, sizeof head, "%02X", command);
    std::vector<std::string> out;
    for (const auto& e : instrument.Log())
      if (e.kind == "frame" && e.text.size() >= 2 && e.text.compare(0, 2, head) == 0 &&
          (e.text.size() == 2 || e.text[2] == ' '))
        out.push_back(e.text);
    return out;
  }
  // Flash holds the image's bytes and no others.
  bool FlashIsImage(std::string* why) const {
    auto want = testsupport::ParseTiTxt(image);
    for (auto [a, b] : want)
      if (instrument.ReadMemory(a) != b) {
        *why = "differs at " + std::to_string(a);
        return false;
      }
    for (auto [a, b] : instrument.FlashBytes())
      if (!want.count(a)) {
        *why = "programmed outside the image at " + std::to_string(a);
        return false;
      }
    return true;
  }
  bool Reported(const std::string& text) const {
    return std::any_of(host.reports.begin(), host.reports.end(),
                       [&](const std::string& r) { return r.find(text) != std::string::npos; });
  }
};

// Each answer of the loader, given to one frame of one command, and what the run makes of it.
TEST(Bsl54xxProcedure, AnswersOfTheLoader) {
  struct Case {
    const char* what;
    FrameFault fault;
    bool ok;
    int error;         // the status code of a failed run
    int sends;         // how often the faulted frame went out (0: not checked)
    const char* says;  // a line in the log, or nullptr
  } cases[] = {
      {"0x51 twice to an erase: repeated", {FrameFaultKind::Nak, 0x12, 3, 2, 0x51}, true, 0, 3, nullptr},
      {"0x51 three times: the third failure ends the run", {FrameFaultKind::Nak, 0x12, 3, 3, 0x51}, false, 5, 3, nullptr},
      {"0x52 to a write", {FrameFaultKind::Nak, 0x10, 1, 1, 0x52}, true, 0, 2, nullptr},
      {"0x54 to the password", {FrameFaultKind::Nak, 0x11, 1, 1, 0x54}, true, 0, 2, nullptr},
      {"silence to a read-back: repeated after the timeout", {FrameFaultKind::Silence, 0x18, 3, 1}, true, 0, 2, nullptr},
      {"reply with a bad CRC dropped and asked again", {FrameFaultKind::CorruptChecksum, 0x18, 3, 1}, true, 0, 2, nullptr},
      {"bad CRC three times", {FrameFaultKind::CorruptChecksum, 0x12, 2, 3}, false, 5, 3, nullptr},
      {"message 1 (write check failed) to a write: said, repeated", {FrameFaultKind::Message, 0x10, 2, 1, 0x01}, true, 0, 2,
       "The boot loader reports error 1 (status 8)"},
      {"message 4 (locked) to the version: repeated", {FrameFaultKind::Message, 0x19, 1, 1, 0x04}, true, 0, 2, nullptr},
      {"message 7 (unknown command) three times to the identifier read", {FrameFaultKind::Message, 0x18, 1, 3, 0x07}, false, 2, 3,
       nullptr},
      {"wrong read-back data: no repetition, status 9", {FrameFaultKind::WrongReadBack, 0x18, 2, 1}, false, 9, 1, nullptr},
      {"silence to the start: repeated", {FrameFaultKind::Silence, 0x17, 1, 1}, true, 0, 2, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench b(InLoader({c.fault}), testsupport::TiTxt5xx("1.02", 700));
    EXPECT_EQ(b.Run(), c.ok);
    EXPECT_EQ(b.error, c.ok ? 0 : c.error);
    const auto frames = b.Frames(c.fault.command);
    ASSERT_GE(frames.size(), static_cast<std::size_t>(c.fault.nth));
    const std::string& faulted = frames[static_cast<std::size_t>(c.fault.nth - 1)];
    EXPECT_EQ(std::count(frames.begin(), frames.end(), faulted), c.sends) << faulted;
    if (c.says) {
      EXPECT_TRUE(b.Reported(c.says));
    }
    std::string why;
    if (c.ok) {
      EXPECT_TRUE(b.FlashIsImage(&why)) << why;
      EXPECT_EQ(b.instrument.FirmwareStarts(), 1);
    } else {
      EXPECT_EQ(b.instrument.FirmwareStarts(), 0);
      ASSERT_FALSE(b.host.app.Boxes().empty());
      EXPECT_EQ(b.host.app.Boxes().back().text, "Error in bootloader !!  Programming abort.");
    }
  }
}

// Information memory holds the instrument's own data: it is never erased. Image bytes for it
// are written as they are; where the segment is not blank the loader's write check fails and
// the run ends with status 8, nothing reported as programmed.
TEST(Bsl54xxProcedure, InformationMemoryIsWrittenButNeverErased) {
  const std::string info = "@1800\r\n11 22 33 44\r\n";
  {
    Bench b(InLoader(), info + testsupport::TiTxt5xx("1.02", 300));
    EXPECT_TRUE(b.Run()) << b.error;
    for (const std::string& e : b.Frames(0x12)) {
      const unsigned a = static_cast<unsigned>(std::stoul(e.substr(3, 2), nullptr, 16) |
                                               std::stoul(e.substr(6, 2), nullptr, 16) << 8 |
                                               std::stoul(e.substr(9, 2), nullptr, 16) << 16);
      EXPECT_GE(a, 0x5C00u) << e;
    }
    std::string why;
    EXPECT_TRUE(b.FlashIsImage(&why)) << why;
  }
  {
    // The instrument's data in segment D: the image's bytes cannot be written over it.
    Bench b(InLoader(), info + testsupport::TiTxt5xx("1.02", 300), "@1800\r\n5A 5A\r\n" + testsupport::TiTxt5xx("1.01"));
    EXPECT_FALSE(b.Run());
    EXPECT_EQ(b.error, 8);
    EXPECT_TRUE(b.Reported("The boot loader reports error 1 (status 8)"));
    EXPECT_EQ(b.instrument.ReadMemory(0x1800), 0x5A & 0x11);
    EXPECT_EQ(b.instrument.FirmwareStarts(), 0);
  }
}

// Without a reset vector the firmware could not be started: the image is refused before
// anything is sent.
TEST(Bsl54xxProcedure, ImageWithoutResetVectorIsRefusedBeforeAnythingIsSent) {
  Bench b(InLoader(), "@5C00\r\n01 02 03 04\r\nq\r\n");
  EXPECT_FALSE(b.Run());
  EXPECT_EQ(b.error, 16);
  EXPECT_TRUE(b.Reported("File FW_TEST.TXT holds no reset vector (address 0xFFFE) !"));
  EXPECT_TRUE(b.Frames(0x11).empty());
}

}  // namespace
}  // namespace loaderstest
