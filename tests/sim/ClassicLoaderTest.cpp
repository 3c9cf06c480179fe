// The classic ROM loader at frame level: sync, checksum, password, version, erase, write,
// read back, the bit-clearing rule, baud change, memory offset, the 1.10 patch, firmware
// start and the injected faults.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "SimHarness.h"

using simtest::Rig;
using sim::InstrumentConfig;
using Bytes = std::vector<std::uint8_t>;

namespace {
const Bytes Ack{sim::BslAck};
const Bytes Nak{sim::BslNak};

// 30 fill bytes and the vector word: the vector table of the simulated device.
Bytes Password(std::uint8_t fill, std::uint16_t vector) {
  Bytes p(4, fill);
  p.insert(p.end(), 30, fill);
  p.push_back(static_cast<std::uint8_t>(vector & 0xFF));
  p.push_back(static_cast<std::uint8_t>(vector >> 8));
  return p;
}
Bytes Addr(std::uint32_t a, std::uint32_t len) {
  return {static_cast<std::uint8_t>(a & 0xFF), static_cast<std::uint8_t>((a >> 8) & 0xFF),
          static_cast<std::uint8_t>(len & 0xFF), static_cast<std::uint8_t>(len >> 8)};
}
Bytes Write(std::uint32_t a, const Bytes& data) {
  Bytes f = Addr(a, static_cast<std::uint32_t>(data.size()));
  f.resize(4 + data.size());
  std::copy(data.begin(), data.end(), f.begin() + 4);
  return f;
}
// The data of a reply frame, or {0xEE} when it is none or its checksum is wrong.
Bytes ReplyData(const Bytes& r) {
  if (r.size() < 6 || r[0] != 0x80 || r[2] != r[3] || r.size() != r[2] + 6u) return {0xEE};
  std::uint16_t ck = sim::BslChecksum(r.data(), r.size() - 2);
  if (r[r.size() - 2] != (ck & 0xFF) || r[r.size() - 1] != (ck >> 8)) return {0xEE};
  return Bytes(r.begin() + 4, r.end() - 2);
}

InstrumentConfig LoaderConfig(std::uint16_t version);

struct LoaderRig : Rig {
  explicit LoaderRig(InstrumentConfig cfg = LoaderConfig(0x0160)) : Rig(std::move(cfg)) { LoaderLine(); }
  static InstrumentConfig Loader(std::uint16_t version = 0x0160) { return LoaderConfig(version); }
  Bytes Unlock() { return Frame(0x10, Password(0xFF, 0x0C02)); }
  Bytes Read(std::uint32_t a, std::uint8_t n) { return ReplyData(Frame(0x14, {Bytes{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), n, 0}})); }
  Bytes Erase(std::uint32_t a) { return Frame(0x16, {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), 0x02, 0xA5}); }
};

InstrumentConfig LoaderConfig(std::uint16_t version) {
  InstrumentConfig cfg;
  cfg.startInLoader = true;
  cfg.loader.version = version;
  cfg.loader.fillByte = 0xFF;
  cfg.loader.vectorWord = 0x0C02;
  return cfg;
}
}  // namespace

TEST(SimLoader, ChecksumOfTheVersionFrame) {
  Bytes f = sim::BslFrame(0x1E, {0x58, 0x58, 0x58, 0x58});
  EXPECT_EQ(f, (Bytes{0x80, 0x1E, 0x04, 0x04, 0x58, 0x58, 0x58, 0x58, 0x7B, 0xE5}));
}

TEST(SimLoader, SyncThenFrameAndBadFramesAreRefused) {
  LoaderRig rig;
  rig.Send(Bytes{0x80});
  EXPECT_EQ(rig.line.Take(), Ack);
  Bytes bad = sim::BslFrame(0x1E, {0x58, 0x58, 0x58, 0x58});
  bad[9] ^= 0x01;
  rig.Send(bad);
  EXPECT_EQ(rig.line.Take(), Nak);
  Bytes lengths = sim::BslFrame(0x1E, {0x58, 0x58, 0x58, 0x58});
  lengths[3] = 0x06;  // L2 differs from L1
  rig.Send(Bytes{0x80});
  rig.line.Take();
  rig.Send(lengths);
  EXPECT_EQ(rig.line.Take(), Nak);
  EXPECT_EQ(rig.Frame(0x33, {0, 0, 0, 0}), Nak);  // unknown command
}

TEST(SimLoader, VersionByLoaderVersion) {
  struct Case {
    std::uint16_t version;
    bool hasVersionCommand;
  } cases[] = {{0x0110, false}, {0x0150, true}, {0x0160, true}};
  for (const Case& c : cases) {
    LoaderRig rig(LoaderRig::Loader(c.version));
    Bytes r = rig.Frame(0x1E, {0x58, 0x58, 0x58, 0x58});
    if (!c.hasVersionCommand) {
      EXPECT_EQ(r, Nak);
      // Such a loader tells its version through the ROM at 0x0FF0, after the password.
      EXPECT_EQ(rig.Unlock(), Ack);
      r = sim::BslFrame(0x00, rig.Read(0x0FF0, 14));
    }
    Bytes data = ReplyData(r);
    ASSERT_GE(data.size(), 14u);
    EXPECT_EQ(data[0] * 256 + data[1], 0xF16C);
    char text[16];
    std::snprintf(text, sizeof text, "%X.%2X", data[10], data[11]);
    char want[16];
    std::snprintf(want, sizeof want, "%X.%2X", c.version >> 8, c.version & 0xFF);
    EXPECT_STREQ(text, want);
  }
}

TEST(SimLoader, AWrongPasswordIsAcknowledgedAndLeavesTheLoaderLocked) {
  // The maker's loader acknowledges every well-formed password frame; only the commands
  // that follow tell whether it was right.
  LoaderRig rig;
  EXPECT_EQ(rig.Erase(0xFC00), Nak);  // locked
  EXPECT_EQ(rig.Frame(0x10, Password(0xFF, 0x0C03)), Ack);
  EXPECT_FALSE(rig.instrument.LoaderUnlocked());
  EXPECT_EQ(rig.Erase(0xFC00), Nak);
  EXPECT_EQ(rig.Read(0xFFE0, 2), Bytes{0xEE});  // refused: no reply frame
  Bytes shortFrame = Password(0xFF, 0x0C02);
  shortFrame.pop_back();
  EXPECT_EQ(rig.Frame(0x10, shortFrame), Nak);  // not the frame of a password
  EXPECT_EQ(rig.Unlock(), Ack);
  EXPECT_TRUE(rig.instrument.LoaderUnlocked());
  // Unlocked until the loader is entered again.
  EXPECT_EQ(rig.Frame(0x10, Password(0xFF, 0x0C03)), Ack);
  EXPECT_TRUE(rig.instrument.LoaderUnlocked());
}

TEST(SimLoader, AWrongPasswordErasesTheFlashOfPartsWithTheSecurityKey) {
  struct Case {
    const char* name;
    std::uint16_t chipId;
    std::optional<bool> securityKey;
    std::uint16_t key;  // word at 0xFFBE
    bool erased;
  } cases[] = {
      {"2xx", 0xF26F, std::nullopt, 0x1234, true},
      {"2xx with key 0000", 0xF26F, std::nullopt, 0x0000, false},
      {"1xx", 0xF16C, std::nullopt, 0x1234, false},
      {"4xx", 0xF449, std::nullopt, 0x1234, false},
      {"4xx with the key", 0xF449, true, 0x1234, true},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg = LoaderRig::Loader();
    cfg.loader.chipId = c.chipId;
    cfg.loader.securityKey = c.securityKey;
    LoaderRig rig(cfg);
    char key[8];
    std::snprintf(key, sizeof key, "%02X %02X", c.key & 0xFF, c.key >> 8);
    std::string firmware = "@1000\r\n33 44\r\n@3100\r\n11 22\r\n@FFBE\r\n" + std::string(key) + "\r\n@FFE0\r\n";
    for (int k = 0; k < 30; ++k) firmware += "FF ";
    firmware += "02 0C\r\nq\r\n";
    std::string error;
    ASSERT_TRUE(rig.instrument.LoadFirmware(firmware, &error)) << error;
    const auto before = rig.instrument.FlashBytes();
    ASSERT_EQ(before.size(), 8u);
    EXPECT_EQ(rig.Frame(0x10, Password(0xFF, 0x0C03)), Ack) << c.name;
    EXPECT_FALSE(rig.instrument.LoaderUnlocked()) << c.name;
    if (c.erased)
      EXPECT_TRUE(rig.instrument.FlashBytes().empty()) << c.name;
    else
      EXPECT_EQ(rig.instrument.FlashBytes(), before) << c.name;
  }
}

TEST(SimLoader, EraseWriteReadAndTheBitClearingRule) {
  LoaderRig rig;
  ASSERT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x12, 0x34, 0xF0, 0x0F})), Ack);
  EXPECT_EQ(rig.Read(0x3100, 4), (Bytes{0x12, 0x34, 0xF0, 0x0F}));
  // Over non-erased flash only bits can be cleared: the read back shows the AND.
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x21, 0x43, 0x0F, 0xFF})), Ack);
  EXPECT_EQ(rig.Read(0x3100, 4), (Bytes{0x00, 0x00, 0x00, 0x0F}));
  // An erase brings the 512-byte segment back, and only that one.
  EXPECT_EQ(rig.Frame(0x12, Write(0x3200, {0x55, 0xAA})), Ack);
  EXPECT_EQ(rig.Erase(0x31FE), Ack);
  EXPECT_EQ(rig.Read(0x3100, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(rig.Read(0x3200, 2), (Bytes{0x55, 0xAA}));
  EXPECT_EQ(rig.instrument.FlashBytes().count(0x3200), 1u);
  // Erase at 0xFFFF clears the top segment with the vector table.
  EXPECT_EQ(rig.Erase(0xFFFF), Ack);
  EXPECT_EQ(rig.instrument.ReadMemory(0xFE00), 0xFF);
  EXPECT_EQ(rig.instrument.ReadMemory(0xFFFE), 0xFF);
  // A wrong erase key is refused.
  EXPECT_EQ(rig.Frame(0x16, {0x00, 0x32, 0x02, 0xA4}), Nak);
  // Length field and data count must agree.
  EXPECT_EQ(rig.Frame(0x12, {0x00, 0x31, 0x04, 0x00, 0x01, 0x02}), Nak);
}

TEST(SimLoader, InformationMemorySegments) {
  for (std::uint32_t seg : {128u, 256u}) {
    InstrumentConfig cfg = LoaderRig::Loader();
    cfg.loader.memory.infoSegment = seg;
    LoaderRig rig(cfg);
    ASSERT_EQ(rig.Unlock(), Ack);
    EXPECT_EQ(rig.Frame(0x12, Write(0x1000, {0x00, 0x00})), Ack);
    EXPECT_EQ(rig.Frame(0x12, Write(0x1080, {0x00, 0x00})), Ack);
    EXPECT_EQ(rig.Erase(0x1080), Ack);
    EXPECT_EQ(rig.Read(0x1080, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(rig.Read(0x1000, 2), seg == 128 ? (Bytes{0x00, 0x00}) : (Bytes{0xFF, 0xFF})) << seg;
  }
  InstrumentConfig locked = LoaderRig::Loader();
  locked.loader.nakInfoErase = true;
  LoaderRig rig(locked);
  ASSERT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.Erase(0x1080), Nak);
}

TEST(SimLoader, BaudChangeFromVersion160) {
  for (std::uint16_t version : {0x0150, 0x0160}) {
    LoaderRig rig(LoaderRig::Loader(version));
    // Not protected by the password.
    Bytes r = rig.Frame(0x20, {0xE0, 0x87, 0x02, 0x58});
    if (version < 0x0160) {
      EXPECT_EQ(r, Nak);
      EXPECT_EQ(rig.instrument.ListeningBaud(), 9600u);
      continue;
    }
    EXPECT_EQ(r, Ack);
    EXPECT_EQ(rig.instrument.ListeningBaud(), 38400u);
    rig.line.Take();
    rig.Send(Bytes{0x80});  // still at 9600: not heard
    EXPECT_TRUE(rig.line.bytes.empty());
    EXPECT_EQ(rig.line.errors.size(), 1u);
    rig.LoaderLine(38400);
    EXPECT_EQ(rig.Unlock(), Ack);
  }
}

TEST(SimLoader, BaudChangeNeedsTheClockValuesOfTheProcessorFamily) {
  // D1 D2 for 9600, 19200 and 38400 baud (D3 0, 1, 2) by family: DCOCTL BCSCTL1 on 1xx and
  // 2xx parts, SCFI0 SCFI1 on 4xx parts.
  struct Family {
    const char* name;
    std::uint16_t chipId;
    std::uint8_t clocks[3][2];
  } families[] = {
      {"1xx", 0xF16C, {{0x80, 0x85}, {0xE0, 0x86}, {0xE0, 0x87}}},
      {"2xx", 0xF26F, {{0x80, 0x88}, {0x00, 0x8B}, {0x80, 0x8C}}},
      {"4xx", 0xF449, {{0x00, 0x98}, {0x00, 0xB0}, {0x00, 0xC8}}},
  };
  const std::uint32_t rates[] = {9600, 19200, 38400};
  for (const Family& fam : families) {
    for (std::uint8_t d3 = 0; d3 < 3; ++d3) {
      for (const Family& sent : families) {
        InstrumentConfig cfg = LoaderRig::Loader();
        cfg.loader.chipId = fam.chipId;
        LoaderRig rig(cfg);
        SCOPED_TRACE(std::string(fam.name) + " part, " + sent.name + " values, D3 " + std::to_string(d3));
        // Acknowledged at the old rate in any case: the loader cannot tell.
        ASSERT_EQ(rig.Frame(0x20, {sent.clocks[d3][0], sent.clocks[d3][1], d3, 0x58}), Ack);
        const bool fits = sent.clocks[d3][0] == fam.clocks[d3][0] && sent.clocks[d3][1] == fam.clocks[d3][1];
        rig.line.errors.clear();
        rig.LoaderLine(rates[d3]);
        if (fits) {
          EXPECT_EQ(rig.instrument.ListeningBaud(), rates[d3]);
          EXPECT_EQ(rig.Unlock(), Ack);
        } else {
          // Wrong values: the processor runs at a clock that gives no rate the host can use.
          EXPECT_EQ(rig.instrument.ListeningBaud(), 0u);
          for (std::uint32_t rate : {9600u, 19200u, 38400u}) {
            rig.LoaderLine(rate);
            rig.Send(Bytes{0x80});
          }
          EXPECT_TRUE(rig.line.bytes.empty());
          EXPECT_EQ(rig.line.errors.size(), 3u);
        }
      }
    }
  }
  // The family can be set apart from the chip id.
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.loader.family = sim::Family::F4xx;
  LoaderRig rig(cfg);
  ASSERT_EQ(rig.Frame(0x20, {0x00, 0xC8, 0x02, 0x58}), Ack);
  EXPECT_EQ(rig.instrument.ListeningBaud(), 38400u);
}

TEST(SimLoader, ParityIsRequiredUnlessTheLineCannotCarryIt) {
  LoaderRig rig;
  rig.line.host = simtest::Line(9600, platform::Parity::None);
  rig.Send(Bytes{0x80});
  EXPECT_TRUE(rig.line.bytes.empty());
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.checkParity = false;
  Rig pty(cfg);
  pty.line.host = simtest::Line(9600, platform::Parity::None);
  pty.Send(Bytes{0x80});
  EXPECT_EQ(pty.line.Take(), Ack);
}

TEST(SimLoader, MemoryOffsetAbove64K) {
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.loader.memory.mainStart = 0x3100;
  cfg.loader.memory.mainEnd = 0x1FFFF;
  cfg.loader.memory.ramStart = 0x1100;
  cfg.loader.memory.ramEnd = 0x30FF;
  LoaderRig rig(cfg);
  ASSERT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.Frame(0x21, {0x00, 0x00, 0x01, 0x58}), Ack);
  EXPECT_EQ(rig.Erase(0x0000), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x0000, {0xDE, 0xAD})), Ack);
  EXPECT_EQ(rig.instrument.ReadMemory(0x10000), 0xDE);
  EXPECT_EQ(rig.instrument.ReadMemory(0x0000), 0x00);
  EXPECT_EQ(rig.Read(0x0000, 2), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(rig.Frame(0x21, {0x00, 0x00, 0x00, 0x58}), Ack);
  EXPECT_EQ(rig.Read(0xFFFE, 2), (Bytes{0x02, 0x0C}));
  EXPECT_EQ(rig.Frame(0x21, {0x00, 0x00, 0x02, 0x58}), Nak);  // beyond the device

  LoaderRig small;  // a 64 KB device has no offset
  ASSERT_EQ(small.Unlock(), Ack);
  EXPECT_EQ(small.Frame(0x21, {0x00, 0x00, 0x01, 0x58}), Nak);
}

TEST(SimLoader, Version110NeedsTheStartedPatch) {
  LoaderRig rig(LoaderRig::Loader(0x0110));
  ASSERT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x01, 0x02})), Nak);
  EXPECT_EQ(rig.Frame(0x14, {0x00, 0x31, 0x02, 0x00}), Nak);
  // Restarting the loader through its ROM locks it again.
  EXPECT_EQ(rig.Frame(0x1A, {0x22, 0x0C, 0x58, 0x58}), Ack);
  EXPECT_FALSE(rig.instrument.LoaderUnlocked());
  ASSERT_EQ(rig.Unlock(), Ack);
  // The patch goes to RAM and reads back without any patch.
  EXPECT_EQ(rig.Frame(0x12, Write(0x0220, {0x31, 0x40, 0x00, 0x0A})), Ack);
  EXPECT_EQ(rig.Read(0x0220, 4), (Bytes{0x31, 0x40, 0x00, 0x0A}));
  // A start somewhere else in RAM is no patch start.
  EXPECT_EQ(rig.Frame(0x1A, {0x22, 0x02, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x01, 0x02})), Nak);
  // Each flash write and each read needs its own patch start.
  EXPECT_EQ(rig.Frame(0x1A, {0x20, 0x02, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x01, 0x02})), Ack);
  EXPECT_EQ(rig.Frame(0x14, {0x00, 0x31, 0x02, 0x00}), Nak);
  EXPECT_EQ(rig.Frame(0x1A, {0x20, 0x02, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.Read(0x3100, 2), (Bytes{0x01, 0x02}));
}

TEST(SimLoader, LoadPcIntoFlashStartsTheFirmware) {
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.version = "1.01";
  LoaderRig rig(cfg);
  ASSERT_EQ(rig.Unlock(), Ack);
  const std::string text = "xxVERS:1.02";
  Bytes data(text.begin(), text.end());
  data.push_back(0x00);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, data)), Ack);
  EXPECT_EQ(rig.Frame(0x1A, {0x00, 0x31, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
  EXPECT_EQ(rig.instrument.FirmwareStarts(), 1);
  EXPECT_EQ(rig.instrument.Version(), "1.02");
  rig.line.host = simtest::Line(9600);
  // A host that talks before it noticed the start-up line still gets it first.
  EXPECT_EQ(rig.Ask("A.2001"), "!\r\nI.21#1.02\r\n");
  EXPECT_EQ(rig.Ask("A.2001"), "I.21#1.02\r\n");

  // Without the marker the configured version after an update counts.
  InstrumentConfig plain = LoaderRig::Loader();
  plain.versionAfterUpdate = "2.00";
  LoaderRig other(plain);
  ASSERT_EQ(other.Unlock(), Ack);
  EXPECT_EQ(other.Frame(0x1A, {0x00, 0x31, 0x58, 0x58}), Ack);
  EXPECT_EQ(other.instrument.Version(), "2.00");
}

TEST(SimLoader, FromTheTextProtocolIntoTheLoaderAndBack) {
  std::uint32_t now = 0;
  InstrumentConfig cfg;
  cfg.baud = 19200;
  cfg.clock = [&now] { return now; };
  Rig rig(cfg);
  EXPECT_EQ(rig.Ask("A.1000"), "!\r\n");
  EXPECT_EQ(rig.Ask("A.5577"), "I.80#0xC00\r\n");
  EXPECT_EQ(rig.Ask("A.5588#QX17"), "A.5588#QX17\r\n");
  rig.LoaderLine();
  EXPECT_EQ(rig.Frame(0x10, Password(0xFF, 0x0C00)), Ack);
  // Only the ACK: the firmware's "!" must not drown in the loader dialogue.
  EXPECT_EQ(rig.Frame(0x1A, {0x00, 0x31, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.instrument.ListeningBaud(), 19200u);
  // It announces itself once the host's line is back at its settings.
  rig.instrument.OnHostLineChanged(simtest::Line(9600));
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.instrument.OnHostLineChanged(simtest::Line(19200));
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");
  rig.instrument.OnHostLineChanged(simtest::Line(19200));
  EXPECT_TRUE(rig.line.bytes.empty());

  // Where the line shows no change, the announcement comes after the fallback time.
  InstrumentConfig same;
  same.clock = [&now] { return now; };
  Rig pty(same);
  pty.Ask("A.5588#QX17");
  pty.LoaderLine();
  ASSERT_EQ(pty.Frame(0x10, Password(0xFF, 0x0C00)), Ack);
  ASSERT_EQ(pty.Frame(0x1A, {0x00, 0x31, 0x58, 0x58}), Ack);
  now += 2000;
  pty.instrument.Tick();
  EXPECT_TRUE(pty.line.bytes.empty());
  now += 600;
  pty.instrument.Tick();
  EXPECT_EQ(pty.line.TakeText(), "!\r\n");
}

TEST(SimLoader, InjectedFrameFaults) {
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.frameFaults = {
      {sim::FrameFaultKind::Nak, 0x12, 2, 2},
      {sim::FrameFaultKind::Silence, 0x16, 1, 1},
      {sim::FrameFaultKind::CorruptChecksum, 0x14, 1, 1},
      {sim::FrameFaultKind::WrongReadBack, 0x14, 2, 1},
  };
  LoaderRig rig(cfg);
  ASSERT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3100, {0x01, 0x02})), Ack);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3102, {0x03, 0x04})), Nak);
  EXPECT_EQ(rig.Frame(0x12, Write(0x3102, {0x03, 0x04})), Nak);
  EXPECT_EQ(rig.instrument.ReadMemory(0x3102), 0xFF);  // a refused frame is not carried out
  EXPECT_EQ(rig.Frame(0x12, Write(0x3102, {0x03, 0x04})), Ack);
  EXPECT_EQ(rig.Erase(0x3000), Bytes{});
  EXPECT_EQ(rig.instrument.ReadMemory(0x3100), 0x01);  // the silent erase did nothing
  EXPECT_EQ(rig.Read(0x3100, 4), Bytes{0xEE});          // checksum corrupted
  Bytes wrong = rig.Read(0x3100, 4);
  EXPECT_NE(wrong, (Bytes{0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(wrong.size(), 4u);
  EXPECT_EQ(rig.Read(0x3100, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
}

TEST(SimLoader, DisconnectAfterFrames) {
  InstrumentConfig cfg = LoaderRig::Loader();
  cfg.disconnectAfterFrames = 1;
  LoaderRig rig(cfg);
  EXPECT_EQ(rig.Unlock(), Ack);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Disconnected);
  rig.Send(Bytes{0x80});
  EXPECT_TRUE(rig.line.bytes.empty());
}

TEST(SimLoader, StrictSyncIgnoresFramesWithoutSync) {
  for (bool strict : {false, true}) {
    InstrumentConfig cfg = LoaderRig::Loader();
    cfg.loader.strictSync = strict;
    LoaderRig rig(cfg);
    rig.Send(sim::BslFrame(0x1E, {0x58, 0x58, 0x58, 0x58}));
    Bytes r = rig.line.Take();
    if (strict)
      EXPECT_EQ(r, Ack);  // the header was taken for a sync, the rest is noise
    else
      EXPECT_EQ(ReplyData(r).size(), 16u);
  }
}

// The whole run as the update tool drives it: instrument dialogue, version, password, baud
// change, erase loop, writes, read back and the start of the new firmware.
TEST(SimLoader, CompleteProgrammingRun) {
  std::map<std::uint32_t, std::uint8_t> image;
  std::uint32_t seed = 7;
  for (std::uint32_t a = 0x3100; a < 0x3100 + 1000; ++a) image[a] = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  for (std::uint32_t a = 0xFFE0; a < 0xFFFE; ++a) image[a] = 0xFF;
  image[0xFFFE] = 0x00;
  image[0xFFFF] = 0x31;

  InstrumentConfig cfg;
  cfg.loader.version = 0x0160;
  Rig rig(cfg);
  rig.Ask("A.1000");
  rig.Ask("A.5588#QX17");
  rig.LoaderLine(9600);
  Bytes version = ReplyData(rig.Frame(0x1E, {0x58, 0x58, 0x58, 0x58}));
  ASSERT_EQ(version.size(), 16u);
  ASSERT_EQ(rig.Frame(0x10, Password(0xFF, 0x0C00)), Ack);
  ASSERT_EQ(rig.Frame(0x20, {0xE0, 0x87, 0x02, 0x58}), Ack);  // a 1xx part (chip F16C)
  rig.LoaderLine(38400);
  for (std::uint32_t a = 0xFC00; a >= 0x3100; a -= 0x200)
    ASSERT_EQ(rig.Frame(0x16, {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), 0x02, 0xA5}), Ack);
  ASSERT_EQ(rig.Frame(0x16, {0x80, 0x10, 0x02, 0xA5}), Ack);
  ASSERT_EQ(rig.Frame(0x16, {0xFF, 0xFF, 0x02, 0xA5}), Ack);
  // Blocks of 240 bytes, as the image reader cuts them.
  std::vector<std::pair<std::uint32_t, Bytes>> blocks;
  for (const auto& [a, v] : image) {
    if (blocks.empty() || a != blocks.back().first + blocks.back().second.size() || blocks.back().second.size() == 240)
      blocks.push_back({a, {}});
    blocks.back().second.push_back(v);
  }
  for (const auto& [a, data] : blocks) ASSERT_EQ(rig.Frame(0x12, Write(a, data)), Ack);
  for (const auto& [a, data] : blocks)
    ASSERT_EQ(ReplyData(rig.Frame(0x14, {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8),
                                         static_cast<std::uint8_t>(data.size()), 0})),
              data);
  ASSERT_EQ(rig.Frame(0x1A, {0x00, 0x31, 0x58, 0x58}), Ack);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
  std::map<std::uint32_t, std::uint8_t> flash = rig.instrument.FlashBytes();
  std::map<std::uint32_t, std::uint8_t> expected;
  for (const auto& [a, v] : image)
    if (v != 0xFF) expected[a] = v;
  EXPECT_EQ(flash, expected);
}
