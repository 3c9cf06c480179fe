// The 5xx bootstrap loader at packet level: CRC and the maker's example packets, the answer of
// the packet reader to every kind of bad input, the lock, the password that erases, writes
// that can only clear bits, segment A, addresses above 64 KB, baud change, load PC, the
// boot-mode marker, the line faults and the injected faults.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "SimHarness.h"
#include "sim/Bsl5xxLoader.h"
#include "sim/Options.h"

using simtest::Rig;
using sim::InstrumentConfig;
using Bytes = std::vector<std::uint8_t>;

namespace {

// What the loader sent for one packet: the first byte (ACK or error) and the reply packets.
struct Answer {
  int first = -1;  // -1: nothing at all
  std::vector<Bytes> cores;
  bool wellFormed = true;  // every reply packet complete with a matching CRC
};

Answer Parse(const Bytes& b) {
  Answer a;
  if (b.empty()) return a;
  a.first = b[0];
  std::size_t i = 1;
  while (i < b.size()) {
    if (b[i] != 0x80 || i + 3 > b.size()) {
      a.wellFormed = false;
      break;
    }
    std::size_t n = b[i + 1] | (b[i + 2] << 8);
    if (i + 3 + n + 2 > b.size()) {
      a.wellFormed = false;
      break;
    }
    Bytes core(b.begin() + static_cast<long>(i + 3), b.begin() + static_cast<long>(i + 3 + n));
    std::uint16_t crc = sim::Crc16Ccitt(core.data(), core.size());
    if (b[i + 3 + n] != (crc & 0xFF) || b[i + 4 + n] != (crc >> 8)) a.wellFormed = false;
    a.cores.push_back(std::move(core));
    i += n + 5;
  }
  return a;
}

Bytes Addr(std::uint32_t a) {
  return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a >> 16)};
}
Bytes Core(std::uint8_t cmd, std::uint32_t address, const Bytes& data = {}) {
  Bytes c{cmd};
  Bytes a = Addr(address);
  c.insert(c.end(), a.begin(), a.end());
  c.insert(c.end(), data.begin(), data.end());
  return c;
}
Bytes Len(std::uint32_t n) { return {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}; }
Bytes Msg(std::uint8_t code) { return {0x3B, code}; }

// The default vector table: 15 fill words and the reset vector, as the password.
Bytes Password(std::uint8_t fill = 0xFF, std::uint16_t reset = 0x5C00) {
  Bytes p{0x11};
  p.insert(p.end(), 30, fill);
  p.push_back(static_cast<std::uint8_t>(reset));
  p.push_back(static_cast<std::uint8_t>(reset >> 8));
  return p;
}

InstrumentConfig Config5xx() {
  InstrumentConfig cfg;
  cfg.loaderKind = sim::LoaderKind::Bsl5xx;
  cfg.startInLoader = true;
  return cfg;
}

struct Rig5xx : Rig {
  explicit Rig5xx(InstrumentConfig cfg = Config5xx()) : Rig(std::move(cfg)) { LoaderLine(); }
  Bytes Raw(const Bytes& bytes) {
    line.bytes.clear();
    Send(bytes);
    return line.Take();
  }
  Answer Do(const Bytes& core) { return Parse(Raw(sim::Bsl5xxFrame(core))); }
  // The single message code of an acknowledged command, -1 for anything else.
  int Message(const Bytes& core) {
    Answer a = Do(core);
    if (a.first != 0x00 || a.cores.size() != 1 || !a.wellFormed || a.cores[0].size() != 2 || a.cores[0][0] != 0x3B)
      return -1;
    return a.cores[0][1];
  }
  // The data of an acknowledged read, {0xEE} when the answer is anything else.
  Bytes Read(std::uint32_t address, std::uint32_t n) {
    Answer a = Do(Core(0x18, address, Len(n)));
    Bytes data;
    if (a.first != 0x00 || !a.wellFormed || a.cores.empty()) return {0xEE};
    for (const Bytes& c : a.cores) {
      if (c.empty() || c[0] != 0x3A) return {0xEE};
      data.insert(data.end(), c.begin() + 1, c.end());
    }
    return data;
  }
  int Write(std::uint32_t address, const Bytes& data) { return Message(Core(0x10, address, data)); }
  int Erase(std::uint32_t address) { return Message(Core(0x12, address)); }
  void Unlock() { ASSERT_EQ(Message(Password()), 0); }
};

}  // namespace

TEST(Sim5xx, CrcAndTheMakersExamplePackets) {
  const std::string check = "123456789";
  EXPECT_EQ(sim::Crc16Ccitt(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()), 0x29B1);
  EXPECT_EQ(sim::Bsl5xxFrame({0x19}), (Bytes{0x80, 0x01, 0x00, 0x19, 0xE8, 0x62}));
  EXPECT_EQ(sim::Bsl5xxFrame({0x52, 0x04}), (Bytes{0x80, 0x02, 0x00, 0x52, 0x04, 0x56, 0x35}));
  EXPECT_EQ(sim::Bsl5xxFrame({0x18, 0x04, 0x1A, 0x00, 0x04, 0x00}),
            (Bytes{0x80, 0x06, 0x00, 0x18, 0x04, 0x1A, 0x00, 0x04, 0x00, 0x18, 0x2F}));
  // Packets recorded from a device: mass erase and its reply, a password error reply.
  EXPECT_EQ(sim::Bsl5xxFrame({0x15}), (Bytes{0x80, 0x01, 0x00, 0x15, 0x64, 0xA3}));
  EXPECT_EQ(sim::Bsl5xxFrame(Msg(0x00)), (Bytes{0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}));
  EXPECT_EQ(sim::Bsl5xxFrame(Msg(0x05)), (Bytes{0x80, 0x02, 0x00, 0x3B, 0x05, 0xC5, 0x94}));
}

TEST(Sim5xx, TheExamplePacketsAreTakenAsTheDeviceTakesThem) {
  Rig5xx rig;
  // Locked: version and reads are refused with message 4 after the ACK.
  EXPECT_EQ(rig.Raw({0x80, 0x01, 0x00, 0x19, 0xE8, 0x62}), (Bytes{0x00, 0x80, 0x02, 0x00, 0x3B, 0x04, 0xE4, 0x84}));
  EXPECT_EQ(rig.Message({0x18, 0x04, 0x1A, 0x00, 0x04, 0x00}), 4);
  rig.Unlock();
  Answer version = rig.Do({0x19});
  ASSERT_EQ(version.cores.size(), 1u);
  EXPECT_EQ(version.cores[0], (Bytes{0x3A, 0x00, 0x08, 0x09, 0x04}));
  Answer id = Parse(rig.Raw({0x80, 0x06, 0x00, 0x18, 0x04, 0x1A, 0x00, 0x04, 0x00, 0x18, 0x2F}));
  EXPECT_EQ(id.first, 0x00);
  ASSERT_EQ(id.cores.size(), 1u);
  EXPECT_EQ(id.cores[0].size(), 5u);
  // The baud change is answered by the interface alone: one ACK, no reply packet.
  EXPECT_EQ(rig.Raw({0x80, 0x02, 0x00, 0x52, 0x04, 0x56, 0x35}), (Bytes{0x00}));
  EXPECT_EQ(rig.instrument.ListeningBaud(), 38400u);

  // A device captured at work: the password of 16 bytes only compares the stale rest of the
  // buffer and fails, even on an erased device.
  Rig5xx erased;
  EXPECT_EQ(erased.Raw({0x80, 0x01, 0x00, 0x15, 0x64, 0xA3}), (Bytes{0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}));
  Bytes shortPassword{0x80, 0x11, 0x00, 0x11};
  shortPassword.insert(shortPassword.end(), 16, 0xFF);
  shortPassword.insert(shortPassword.end(), {0x4E, 0xC9});
  EXPECT_EQ(erased.Raw(shortPassword), (Bytes{0x00, 0x80, 0x02, 0x00, 0x3B, 0x05, 0xC5, 0x94}));
  EXPECT_FALSE(erased.instrument.LoaderUnlocked());
  EXPECT_EQ(erased.Message(Password(0xFF, 0xFFFF)), 0);  // the full all-0xFF password
}

TEST(Sim5xx, PacketReaderAnswers) {
  Bytes badCrc = sim::Bsl5xxFrame({0x19});
  badCrc.back() ^= 0x01;
  Bytes limit = Core(0x10, 0x5C00, Bytes(256, 0x00));  // 260 bytes: exactly the buffer
  struct Case {
    const char* what;
    Bytes in;
    Bytes out;
  } cases[] = {
      {"no header", {0x41}, {0x51}},
      {"every stray byte", {0x0D, 0x0A}, {0x51, 0x51}},
      {"size zero", {0x80, 0x00, 0x00}, {0x53}},
      {"size 261", {0x80, 0x05, 0x01}, {0x54}},
      {"size zero, then a good packet", {0x80, 0x00, 0x00, 0x80, 0x01, 0x00, 0x15, 0x64, 0xA3},
       {0x53, 0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}},
      {"checksum", badCrc, {0x52}},
      {"baud code 7", sim::Bsl5xxFrame({0x52, 0x07}), {0x56}},
      {"baud code 1 (4800)", sim::Bsl5xxFrame({0x52, 0x01}), {0x56}},
      {"other interface command", sim::Bsl5xxFrame({0x51, 0x04}), {}},
      {"half a packet", {0x80, 0x01, 0x00, 0x19}, {}},
      {"unknown command", sim::Bsl5xxFrame({0x33}), sim::Bsl5xxFrame(Msg(0x07))},
      {"write of 256 bytes", sim::Bsl5xxFrame(limit), sim::Bsl5xxFrame(Msg(0x00))},
      {"a write of 257 bytes: its core becomes stray bytes", {0x80, 0x05, 0x01, 0x10, 0x00, 0x5C},
       {0x54, 0x51, 0x51, 0x51}},
  };
  for (const Case& c : cases) {
    Rig5xx rig;
    rig.Unlock();
    Bytes expected = c.out;
    // A core message comes after the ACK.
    if (!expected.empty() && expected[0] == 0x80) expected.insert(expected.begin(), 0x00);
    EXPECT_EQ(rig.Raw(c.in), expected) << c.what;
  }
}

TEST(Sim5xx, LockedCommandsAndTheUnprotectedMassErase) {
  Rig5xx rig;
  const Bytes locked[] = {Core(0x10, 0x5C00, {0x00, 0x00}), Core(0x12, 0x5C00), {0x13}, Core(0x16, 0x5C00, Len(4)),
                          Core(0x17, 0x5C00), Core(0x18, 0x5C00, Len(4)), {0x19}};
  for (const Bytes& core : locked) EXPECT_EQ(rig.Message(core), 4) << int(core[0]);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Loader);
  EXPECT_EQ(rig.instrument.ReadMemory(0xFFFE), 0x00);
  EXPECT_EQ(rig.Message({0x15}), 0);
  EXPECT_EQ(rig.instrument.ReadMemory(0xFFFE), 0xFF);
  EXPECT_FALSE(rig.instrument.LoaderUnlocked());
}

TEST(Sim5xx, PasswordIsTheTopOfTheVectorTable) {
  InstrumentConfig cfg = Config5xx();
  cfg.bsl5xx.fillByte = 0x3F;
  cfg.bsl5xx.vectorWord = 0x5C00;
  Rig5xx rig(cfg);
  // The whole table 0xFF80..0xFFFF is filled; only its top 32 bytes are the password.
  EXPECT_EQ(rig.instrument.ReadMemory(0xFF80), 0x3F);
  EXPECT_EQ(rig.Write(0x5C00, {0x01}), 4);
  EXPECT_EQ(rig.Message(Password(0x3F, 0x5C00)), 0);
  EXPECT_TRUE(rig.instrument.LoaderUnlocked());
  ASSERT_EQ(rig.Write(0x1800, {0x12, 0x34}), 0);  // information memory, segment D
  ASSERT_EQ(rig.Write(0x20000, {0x56, 0x78}), 0);

  // A wrong password: message 5, all main flash erased (the vector table too), information
  // memory kept. An unlocked loader stays unlocked, as in the maker's code.
  EXPECT_EQ(rig.Message(Password(0x3F, 0x5C02)), 5);
  EXPECT_EQ(rig.instrument.ReadMemory(0x20000), 0xFF);
  EXPECT_EQ(rig.instrument.ReadMemory(0xFFFE), 0xFF);
  EXPECT_EQ(rig.instrument.ReadMemory(0x1800), 0x12);
  EXPECT_EQ(rig.Write(0x5C00, {0x01}), 0);
  // The erased device's password is all 0xFF.
  EXPECT_EQ(rig.Message(Password(0x3F, 0x5C00)), 5);
  EXPECT_EQ(rig.Message(Password(0xFF, 0xFFFF)), 0);

  Rig5xx locked;
  EXPECT_EQ(locked.Message(Password(0xFF, 0x0C02)), 5);
  EXPECT_FALSE(locked.instrument.LoaderUnlocked());
  EXPECT_EQ(locked.Write(0x5C00, {0x01}), 4);
}

TEST(Sim5xx, WritesClearBitsOnlyAndReadBackAbove64K) {
  Rig5xx rig;
  rig.Unlock();
  // Above 64 KB: the third address byte counts, up to the end of the F5438A's flash.
  EXPECT_EQ(rig.Write(0x10000, {0x11, 0x22, 0x33}), 0);
  EXPECT_EQ(rig.Write(0x45BFE, {0xAB, 0xCD}), 0);
  EXPECT_EQ(rig.Read(0x10000, 3), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(rig.Read(0x45BFE, 2), (Bytes{0xAB, 0xCD}));
  EXPECT_EQ(rig.instrument.ReadMemory(0x0000), 0x00);  // no wrap into the low 64 KB
  // Over programmed flash only bits can be cleared: the read-back check fails with message 1
  // and the flash holds the AND of old and new.
  EXPECT_EQ(rig.Write(0x10000, {0x11, 0x0F}), 1);
  EXPECT_EQ(rig.Read(0x10000, 3), (Bytes{0x11, 0x02, 0x33}));
  // The write stops at the first unit that fails: the word after it is not written.
  EXPECT_EQ(rig.Write(0x10004, {0x00, 0x00}), 0);
  EXPECT_EQ(rig.Write(0x10004, {0xFF, 0xFF, 0x00, 0x00}), 1);
  EXPECT_EQ(rig.Read(0x10006, 2), (Bytes{0xFF, 0xFF}));
  // An erase restores its 512-byte segment and only that one.
  EXPECT_EQ(rig.Write(0x10200, {0x55}), 0);
  EXPECT_EQ(rig.Erase(0x101FF), 0);
  EXPECT_EQ(rig.Read(0x10000, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(rig.Read(0x10200, 1), (Bytes{0x55}));
  // RAM takes any value; the loader's own memory takes none.
  EXPECT_EQ(rig.Write(0x1C00, {0x12, 0x34}), 0);
  EXPECT_EQ(rig.Write(0x1C00, {0x43, 0x21}), 0);
  EXPECT_EQ(rig.Write(0x1000, {0x43, 0x21}), 1);
  // A read longer than the buffer comes as several data replies; a read of 0 bytes as none.
  Answer a = rig.Do(Core(0x18, 0x10200, Len(300)));
  ASSERT_EQ(a.cores.size(), 2u);
  EXPECT_EQ(a.cores[0].size(), 260u);
  EXPECT_EQ(a.cores[1].size(), 42u);
  EXPECT_EQ(a.cores[0][1], 0x55);
  Answer none = rig.Do(Core(0x18, 0x10200, Len(0)));
  EXPECT_EQ(none.first, 0x00);
  EXPECT_TRUE(none.cores.empty());
  // The CRC check runs the same CRC over the memory.
  Answer crc = rig.Do(Core(0x16, 0x10200, Len(1)));
  const std::uint8_t v = 0x55;
  std::uint16_t want = sim::Crc16Ccitt(&v, 1);
  ASSERT_EQ(crc.cores.size(), 1u);
  EXPECT_EQ(crc.cores[0], (Bytes{0x3A, static_cast<std::uint8_t>(want), static_cast<std::uint8_t>(want >> 8)}));
}

TEST(Sim5xx, InformationSegmentALockedUntilToggled) {
  Rig5xx rig;
  rig.Unlock();
  EXPECT_EQ(rig.Write(0x1800, {0x01}), 0);  // segment D
  EXPECT_EQ(rig.Write(0x1900, {0x02}), 0);  // segment B
  EXPECT_EQ(rig.Write(0x1980, {0x03}), 1);  // segment A ignores the write
  EXPECT_EQ(rig.instrument.ReadMemory(0x1980), 0xFF);
  EXPECT_EQ(rig.Message({0x13}), 0);
  EXPECT_EQ(rig.Write(0x1980, {0x03}), 0);
  EXPECT_EQ(rig.Message({0x13}), 0);
  EXPECT_EQ(rig.Erase(0x19FF), 0);  // acknowledged, ignored
  EXPECT_EQ(rig.instrument.ReadMemory(0x1980), 0x03);
  EXPECT_EQ(rig.Erase(0x1880), 0);  // segment C: the others stay
  EXPECT_EQ(rig.instrument.ReadMemory(0x1800), 0x01);
  EXPECT_EQ(rig.instrument.ReadMemory(0x1900), 0x02);
  EXPECT_EQ(rig.Erase(0x1900), 0);
  EXPECT_EQ(rig.instrument.ReadMemory(0x1900), 0xFF);
  EXPECT_EQ(rig.instrument.ReadMemory(0x1800), 0x01);
}

TEST(Sim5xx, BaudChangeAfterItsAck) {
  for (auto c : {std::pair<std::uint8_t, std::uint32_t>{0x02, 9600}, {0x03, 19200}, {0x04, 38400}, {0x05, 57600},
                 {0x06, 115200}}) {
    Rig5xx rig;
    // No password needed: the interface changes the rate itself.
    EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame({0x52, c.first})), Bytes{0x00});
    EXPECT_EQ(rig.instrument.ListeningBaud(), c.second);
    if (c.second == 9600) continue;
    rig.Send(sim::Bsl5xxFrame({0x15}));  // still at 9600: not heard
    EXPECT_TRUE(rig.line.bytes.empty());
    EXPECT_EQ(rig.line.errors.size(), 1u);
    rig.LoaderLine(c.second);
    EXPECT_EQ(rig.Message({0x15}), 0);
  }
  // A baud change without its code byte reads what the buffer still holds.
  Rig5xx rig;
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame({0x52, 0x03})), Bytes{0x00});
  rig.LoaderLine(19200);
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame({0x52})), Bytes{0x00});
  EXPECT_EQ(rig.instrument.ListeningBaud(), 19200u);
}

TEST(Sim5xx, LoadPc) {
  InstrumentConfig cfg = Config5xx();
  cfg.version = "1.01";
  Rig5xx rig(cfg);
  rig.Unlock();
  const std::string text = "xxVERS:2.05";
  Bytes data(text.begin(), text.end());
  data.push_back(0x00);
  ASSERT_EQ(rig.Write(0x12340, data), 0);
  // Into the loader's own memory: it starts over, locked, at 9600.
  ASSERT_EQ(rig.Raw(sim::Bsl5xxFrame({0x52, 0x04})), Bytes{0x00});
  rig.LoaderLine(38400);
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x17, 0x1000))), Bytes{0x00});
  EXPECT_FALSE(rig.instrument.LoaderUnlocked());
  EXPECT_EQ(rig.instrument.ListeningBaud(), 9600u);
  rig.LoaderLine(9600);
  rig.Unlock();
  // Into main flash, even above 64 KB: only the ACK, then the firmware runs.
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x17, 0x12340))), Bytes{0x00});
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
  EXPECT_EQ(rig.instrument.FirmwareStarts(), 1);
  EXPECT_EQ(rig.instrument.Version(), "2.05");
  rig.instrument.OnHostLineChanged(simtest::Line(9600));
  EXPECT_EQ(rig.line.TakeText(), "!\r\n");

  // Into RAM: code the simulation cannot run; nothing answers any more.
  Rig5xx ram;
  ram.Unlock();
  EXPECT_EQ(ram.Raw(sim::Bsl5xxFrame(Core(0x17, 0x1C00))), Bytes{0x00});
  EXPECT_EQ(ram.Raw(sim::Bsl5xxFrame({0x15})), Bytes{});
}

TEST(Sim5xx, FromTheTextProtocolIntoThe5xxLoader) {
  for (const char* start : {"A.5588#QX17", "A.5566#QX17", "A.5567#QX17"}) {
    InstrumentConfig cfg;
    cfg.loaderKind = sim::LoaderKind::Bsl5xx;
    Rig rig(cfg);
    EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
    EXPECT_EQ(rig.Ask("A.5577"), "I.80#0x5C00\r\n");
    EXPECT_EQ(rig.Ask(start), std::string(start) + "\r\n");
    EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Loader);
    rig.LoaderLine();
    rig.Send(sim::Bsl5xxFrame(Password()));
    EXPECT_EQ(Parse(rig.line.Take()).cores, (std::vector<Bytes>{Msg(0)})) << start;
  }
}

TEST(Sim5xx, ParityOfTheLine) {
  // The timer UART hears a host without parity, whose UART then takes each parity bit for
  // the stop bit: a framing error when it is 0 (the ACK 0x00), none for 0x51.
  InstrumentConfig cfg = Config5xx();
  Rig rig(cfg);
  rig.line.host = simtest::Line(9600, platform::Parity::None);
  rig.Send(sim::Bsl5xxFrame({0x15}));
  EXPECT_EQ(rig.line.Take().size(), 8u);
  EXPECT_EQ(rig.line.errors, (std::vector<unsigned>{platform::LineErrFraming}));
  rig.line.errors.clear();
  rig.Send(Bytes{0x41});
  EXPECT_EQ(rig.line.Take(), Bytes{0x51});
  EXPECT_TRUE(rig.line.errors.empty());

  // The USCI one hears even parity only.
  cfg.bsl5xx.uart = sim::Bsl5xxUart::Usci;
  Rig usci(cfg);
  usci.line.host = simtest::Line(9600, platform::Parity::None);
  usci.Send(sim::Bsl5xxFrame({0x15}));
  EXPECT_TRUE(usci.line.bytes.empty());
  usci.LoaderLine();
  usci.Send(sim::Bsl5xxFrame({0x15}));
  EXPECT_EQ(usci.line.Take().size(), 8u);
  EXPECT_TRUE(usci.line.errors.size() == 1u);  // the one refused write
}

TEST(Sim5xx, BootModeAnswersTheWakeUpFramesWithTheMarker) {
  InstrumentConfig cfg;
  cfg.loaderKind = sim::LoaderKind::Bsl5xx;
  cfg.bootMode = sim::BootMode::Marker;
  Rig rig(cfg);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Loader);
  // The first frame is a header waiting for its size; the second makes it far too large, and
  // each byte after that is a header error: 0x51, the 'Q' a reply parser looks for.
  rig.Send(Bytes{0x80});
  EXPECT_TRUE(rig.line.bytes.empty());
  rig.Send(Bytes{0x85, 0x01, 0x00, 0x1A});
  EXPECT_EQ(rig.line.TakeText(), "TQQ");
  EXPECT_TRUE(rig.line.errors.empty());  // all three bytes carry a parity bit of 1
  // A text probe at the loader's rate gets nothing but header errors either.
  rig.Send(std::string("A.1111\r\n"));
  EXPECT_EQ(rig.line.TakeText(), "QQQQQQQQ");
  // The loader is ready for the host's password at once.
  rig.LoaderLine();
  rig.Send(sim::Bsl5xxFrame(Password()));
  EXPECT_EQ(Parse(rig.line.Take()).cores, (std::vector<Bytes>{Msg(0)}));
}

TEST(Sim5xx, InjectedFaults) {
  InstrumentConfig cfg = Config5xx();
  cfg.frameFaults = {
      {sim::FrameFaultKind::Nak, 0x10, 2, 1, 0x00},
      {sim::FrameFaultKind::Nak, 0x10, 3, 1, 0x55},
      {sim::FrameFaultKind::Silence, 0x12, 1, 1},
      {sim::FrameFaultKind::CorruptChecksum, 0x18, 1, 1},
      {sim::FrameFaultKind::WrongReadBack, 0x18, 2, 1},
      {sim::FrameFaultKind::Message, 0x10, 4, 1, 0x02},
  };
  Rig5xx rig(cfg);
  rig.Unlock();
  EXPECT_EQ(rig.Write(0x5C00, {0x01, 0x02}), 0);
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x10, 0x5C02, {0x03}))), Bytes{0x52});
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x10, 0x5C02, {0x03}))), Bytes{0x55});
  EXPECT_EQ(rig.Write(0x5C02, {0x03}), 2);
  EXPECT_EQ(rig.instrument.ReadMemory(0x5C02), 0xFF);  // none of them was carried out
  EXPECT_EQ(rig.Write(0x5C02, {0x03}), 0);
  EXPECT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x12, 0x5C00))), Bytes{});
  EXPECT_EQ(rig.instrument.ReadMemory(0x5C00), 0x01);  // the silent erase did nothing
  Answer corrupt = rig.Do(Core(0x18, 0x5C00, Len(3)));
  EXPECT_EQ(corrupt.first, 0x00);
  EXPECT_FALSE(corrupt.wellFormed);
  Bytes wrong = rig.Read(0x5C00, 3);
  EXPECT_EQ(wrong.size(), 3u);
  EXPECT_NE(wrong, (Bytes{0x01, 0x02, 0x03}));
  EXPECT_EQ(rig.Read(0x5C00, 3), (Bytes{0x01, 0x02, 0x03}));

  InstrumentConfig gone = Config5xx();
  gone.disconnectAfterFrames = 2;
  Rig5xx cut(gone);
  cut.Send(Bytes{0x41});  // header errors are no packets
  cut.Unlock();
  EXPECT_EQ(cut.Message({0x15}), 0);
  EXPECT_EQ(cut.instrument.GetState(), sim::Instrument::State::Disconnected);
  EXPECT_EQ(cut.Raw(sim::Bsl5xxFrame({0x15})), Bytes{});
}

// The whole run as an update tool would drive the maker's loader: password, version, the
// identifier read, baud change, segment erases, block writes above and below 64 KB, read-back,
// then the start of the new firmware.
TEST(Sim5xx, CompleteProgrammingRun) {
  std::map<std::uint32_t, std::uint8_t> image;
  std::uint32_t seed = 11;
  auto next = [&seed] { return static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 16); };
  for (std::uint32_t a = 0x5C00; a < 0x5C00 + 700; ++a) image[a] = next();
  for (std::uint32_t a = 0x1FF00; a < 0x20100; ++a) image[a] = next();
  for (std::uint32_t a = 0xFF80; a < 0xFFFE; ++a) image[a] = 0xFF;
  image[0xFFFE] = 0x00;
  image[0xFFFF] = 0x5C;

  InstrumentConfig cfg;
  cfg.loaderKind = sim::LoaderKind::Bsl5xx;
  Rig5xx rig(cfg);  // the text protocol does not look at the parity
  rig.Ask("A.1000");
  rig.Ask("A.5588#QX17");
  rig.Unlock();
  Answer version = rig.Do({0x19});
  ASSERT_EQ(version.cores.size(), 1u);
  ASSERT_EQ(rig.Read(0x1A04, 4).size(), 4u);
  ASSERT_EQ(rig.Raw(sim::Bsl5xxFrame({0x52, 0x04})), Bytes{0x00});
  rig.LoaderLine(38400);
  for (std::uint32_t a = 0xFE00; a >= 0x5C00; a -= 0x200) ASSERT_EQ(rig.Erase(a), 0);
  for (std::uint32_t a = 0x1FE00; a <= 0x20000; a += 0x200) ASSERT_EQ(rig.Erase(a), 0);
  std::vector<std::pair<std::uint32_t, Bytes>> blocks;
  for (const auto& [a, v] : image) {
    if (blocks.empty() || a != blocks.back().first + blocks.back().second.size() || blocks.back().second.size() == 256)
      blocks.push_back({a, {}});
    blocks.back().second.push_back(v);
  }
  for (const auto& [a, data] : blocks) ASSERT_EQ(rig.Write(a, data), 0) << a;
  for (const auto& [a, data] : blocks) ASSERT_EQ(rig.Read(a, static_cast<std::uint32_t>(data.size())), data) << a;
  ASSERT_EQ(rig.Raw(sim::Bsl5xxFrame(Core(0x17, 0x5C00))), Bytes{0x00});
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
  std::map<std::uint32_t, std::uint8_t> expected;
  for (const auto& [a, v] : image)
    if (v != 0xFF) expected[a] = v;
  EXPECT_EQ(rig.instrument.FlashBytes(), expected);
}

TEST(Sim5xx, Options) {
  sim::ProgramOptions o;
  std::string error;
  ASSERT_TRUE(sim::ParseOptions({"--main-start", "8000", "--loader", "5xx", "--bsl5xx-uart", "usci",
                                 "--bsl5xx-version", "00070652", "--info-a-unlocked", "--vector-word", "5C00",
                                 "--fault", "nak=54:10:2", "--fault", "message=1:any:3:2"},
                                o, error))
      << error;
  const InstrumentConfig& c = o.instrument;
  EXPECT_EQ(c.loaderKind, sim::LoaderKind::Bsl5xx);
  EXPECT_EQ(c.bsl5xx.memory.mainStart, 0x8000u);  // the 5xx map, though given before --loader
  EXPECT_EQ(c.bsl5xx.memory.mainEnd, 0x45BFFu);
  EXPECT_EQ(c.loader.memory.mainStart, 0x1100u);
  EXPECT_EQ(c.bsl5xx.uart, sim::Bsl5xxUart::Usci);
  EXPECT_EQ(c.bsl5xx.version[1], 0x07);
  EXPECT_EQ(c.bsl5xx.version[3], 0x52);
  EXPECT_FALSE(c.bsl5xx.infoALocked);
  EXPECT_EQ(c.bsl5xx.vectorWord, 0x5C00);
  ASSERT_EQ(c.frameFaults.size(), 2u);
  EXPECT_EQ(c.frameFaults[0].kind, sim::FrameFaultKind::Nak);
  EXPECT_EQ(c.frameFaults[0].code, 0x54);
  EXPECT_EQ(c.frameFaults[1].kind, sim::FrameFaultKind::Message);
  EXPECT_EQ(c.frameFaults[1].code, 0x01);
  EXPECT_EQ(c.frameFaults[1].count, 2);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--loader", "6xx"}, {"--bsl5xx-uart", "spi"}, {"--bsl5xx-version", "0807"}, {"--fault", "silence=1:10:1"},
           {"--fault", "nak=100:10:1"}}) {
    sim::ProgramOptions p;
    EXPECT_FALSE(sim::ParseOptions(args, p, error)) << args[0] << " " << args[1];
  }
}
