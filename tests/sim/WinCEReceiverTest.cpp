// The Windows-CE file receiver: its CRC-8 and check character, the speed changes that are
// acknowledged only at the new line, files in checked packets, requests to send a packet
// again, and its faults.
#include <gtest/gtest.h>

#include <random>

#include "SimHarness.h"
#include "sim/WinCEReceiver.h"

using simtest::Rig;
using sim::InstrumentConfig;
using Bytes = std::vector<std::uint8_t>;

namespace {

// The register as the algorithm is described: XOR the byte in, shift left eight times and
// XOR 0x1D after each shift that pushed out a 1. The receiver itself works from a table.
std::uint8_t BitwiseCrc(const Bytes& data) {
  unsigned r = 0xFF;
  for (std::uint8_t b : data) {
    r ^= b;
    for (int i = 0; i < 8; ++i) r = (r & 0x80) ? ((r << 1) ^ 0x1D) & 0xFF : (r << 1) & 0xFF;
  }
  return static_cast<std::uint8_t>(r);
}

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Random(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(random());
  return b;
}

// n bytes whose register ends at want: random bytes and a last byte found by trying all 256
// (the last step maps the 256 values one to one).
Bytes BlockWithRegister(std::size_t n, std::uint8_t want, std::uint32_t seed) {
  Bytes b = Random(n, seed);
  for (int last = 0; last < 256; ++last) {
    b.back() = static_cast<std::uint8_t>(last);
    if (BitwiseCrc(b) == want) return b;
  }
  return {};
}

platform::LineSettings Line8N2(std::uint32_t baud) {
  platform::LineSettings s = simtest::Line(baud);
  s.stopBits = platform::StopBits::Two;
  return s;
}

InstrumentConfig WinCE(std::uint32_t* now) {
  InstrumentConfig cfg;
  cfg.wince.enabled = true;
  cfg.clock = [now] { return *now; };
  return cfg;
}

// An instrument with the receiver; Send() goes out in pieces of `chunk` bytes.
struct WinCERig : Rig {
  explicit WinCERig(InstrumentConfig cfg) : Rig(std::move(cfg)) {}
  void Host(const platform::LineSettings& s) {
    line.host = s;
    instrument.OnHostLineChanged(s);
  }
  std::string Chunked(const Bytes& bytes) {
    line.bytes.clear();
    for (std::size_t at = 0; at < bytes.size(); at += chunk)
      Send(Bytes(bytes.begin() + static_cast<long>(at),
                 bytes.begin() + static_cast<long>(std::min(bytes.size(), at + chunk))));
    return line.TakeText();
  }
  std::string Packet(const Bytes& data) { return Chunked(sim::WinCEPacket(data.data(), data.size())); }
  std::string Command(const std::string& text) { return Chunked(Of(text + "\r\n")); }
  // Speed change to 38400 and its acknowledgement at 8N2.
  void Switch() {
    ASSERT_EQ(Command("A.1300#38400"), "");
    Host(Line8N2(38400));
    ASSERT_EQ(line.TakeText(), "!\r\n");
  }
  std::size_t chunk = 1u << 20;
};

}  // namespace

TEST(SimWinCE, Crc8AndItsCheckCharacter) {
  struct Case {
    Bytes data;
    std::uint8_t crc, check;
  } cases[] = {
      {Of("123456789"), 0xB4, 0xB4},  // the catalogue's check value (CRC-8/HITAG)
      {Of("abc"), 0x65, 'e'},
      {{}, 0xFF, 0xFF},  // an empty block: the initial register
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::Crc8(c.data.data(), c.data.size()), c.crc);
    EXPECT_EQ(sim::CheckCharacter(c.crc), c.check);
  }
  const std::pair<std::uint8_t, std::uint8_t> adjusted[] = {
      {0x00, 0x01}, {0x44, 0x45}, {0x2C, 0x2D}, {0x23, 0x24},  // NUL, 'D', ',', '#'
      {0x01, 0x01}, {0x45, 0x45}, {0x43, 0x43}, {0x22, 0x22}, {0x2B, 0x2B}, {0xFE, 0xFE}};
  for (auto [crc, check] : adjusted) EXPECT_EQ(sim::CheckCharacter(crc), check) << int(crc);

  // The table agrees with the bit-by-bit description over data of many lengths.
  for (std::size_t n : {1u, 2u, 3u, 17u, 255u, 1999u, 2000u}) {
    Bytes b = Random(n, static_cast<std::uint32_t>(n));
    EXPECT_EQ(sim::Crc8(b.data(), b.size()), BitwiseCrc(b)) << n;
  }
  // Packets whose register ends at 0x44 or 0x00 carry 'E' or 0x01.
  for (auto [reg, check] : {std::pair<std::uint8_t, char>{0x44, 'E'}, {0x00, '\x01'}}) {
    Bytes block = BlockWithRegister(2000, reg, 7);
    ASSERT_EQ(block.size(), 2000u);
    Bytes packet = sim::WinCEPacket(block.data(), block.size());
    EXPECT_EQ(std::string(packet.begin(), packet.begin() + 9), std::string("D.2000,") + check + "#");
  }
}

TEST(SimWinCE, TwoFilesInAnyChunking) {
  const Bytes first = Random(4500, 1);  // two full blocks and a short one
  const Bytes second;                   // an empty file: one empty packet
  const Bytes third = BlockWithRegister(2000, 0x44, 3);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1999}, std::size_t{1} << 20}) {
    std::uint32_t now = 0;
    InstrumentConfig cfg = WinCE(&now);
    cfg.versionAfterUpdate = "2.00";
    WinCERig rig(cfg);
    rig.chunk = chunk;
    EXPECT_EQ(rig.Command("A.1000"), "!\r\n");
    // No answer at the old rate; the "!" comes only at 38400 8N2.
    EXPECT_EQ(rig.Command("A.1300#38400"), "");
    EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::WinCE);
    EXPECT_EQ(rig.instrument.ListeningBaud(), 38400u);
    rig.Host(simtest::Line(38400));  // one stop bit: not yet
    EXPECT_EQ(rig.line.TakeText(), "");
    rig.Host(Line8N2(38400));
    EXPECT_EQ(rig.line.TakeText(), "!\r\n");

    EXPECT_EQ(rig.Command("A.1201#TORVEX.EXE,1480943616,4500"), "!\r\n");
    for (std::size_t at = 0; at < first.size(); at += 2000)
      EXPECT_EQ(rig.Packet(Bytes(first.begin() + static_cast<long>(at),
                                 first.begin() + static_cast<long>(std::min(first.size(), at + 2000)))),
                "!\r\n")
          << at;
    EXPECT_EQ(rig.Command("A.1202"), "!\r\n");
    // A path with a comma of its own; no time stamp (-1).
    EXPECT_EQ(rig.Command("A.1205#\\Windows\\a,b.dll,4294967295,0"), "!\r\n");
    EXPECT_EQ(rig.Packet(second), "!\r\n");
    EXPECT_EQ(rig.Command("A.1202"), "!\r\n");
    EXPECT_EQ(rig.Command("A.1201#CE\\LIB.DLL,-1,2000"), "!\r\n");
    EXPECT_EQ(rig.Packet(third), "!\r\n");
    EXPECT_EQ(rig.Command("A.1202"), "!\r\n");
    EXPECT_EQ(rig.Command("A.1203"), "!\r\n");

    // Back to 9600: the "!" at 9600, then, after the restart, the instrument's "!".
    EXPECT_EQ(rig.Command("A.1300#9600"), "");
    rig.Host(simtest::Line(9600));
    EXPECT_EQ(rig.line.TakeText(), "!\r\n");
    EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Text);
    now += 2999;
    rig.instrument.Tick();
    EXPECT_EQ(rig.line.TakeText(), "");
    now += 1;
    rig.instrument.Tick();
    EXPECT_EQ(rig.line.TakeText(), "!\r\n");
    EXPECT_EQ(rig.instrument.FirmwareStarts(), 1);
    EXPECT_EQ(rig.instrument.Version(), "2.00");
    EXPECT_EQ(rig.Command("A.2000"), "I.20#28160.000\r\n");

    std::vector<sim::WinCEFile> files = rig.instrument.WinCEFiles();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].name, "TORVEX.EXE");
    EXPECT_EQ(files[0].stamp, 1480943616u);
    EXPECT_EQ(files[0].data, first);
    EXPECT_EQ(files[0].announcedBy, 1201);
    EXPECT_EQ(files[1].name, "\\Windows\\a,b.dll");
    EXPECT_EQ(files[1].stamp, 0xFFFFFFFFu);
    EXPECT_TRUE(files[1].data.empty());
    EXPECT_EQ(files[1].announcedBy, 1205);
    EXPECT_EQ(files[2].stamp, 0xFFFFFFFFu);
    EXPECT_EQ(files[2].data, third);
    EXPECT_EQ(rig.instrument.WinCEBlocks(), 5);
    std::vector<std::string> commands = rig.instrument.Commands();
    EXPECT_EQ(commands[1], "A.1300#38400");
    EXPECT_EQ(commands.back(), "A.2000");
    EXPECT_EQ(commands[commands.size() - 2], "A.1300#9600");
  }
}

TEST(SimWinCE, BadPacketIsAskedForAgain) {
  std::uint32_t now = 0;
  InstrumentConfig cfg = WinCE(&now);
  // The second packet seen is answered as if it had been damaged; the fourth with another value.
  cfg.textFaults = {{sim::TextFaultKind::AskAgain, "D", 2, 1, 2}, {sim::TextFaultKind::AskAgain, "D", 4, 1, 5}};
  WinCERig rig(cfg);
  rig.Switch();
  const Bytes data = Random(3000, 5);
  ASSERT_EQ(rig.Command("A.1201#F.BIN,0,3000"), "!\r\n");
  Bytes block(data.begin(), data.begin() + 2000);
  Bytes damaged = sim::WinCEPacket(block.data(), block.size());
  damaged[500] ^= 0x01;
  EXPECT_EQ(rig.Chunked(damaged), "I.261#2\r\n");  // 1: its check fails
  EXPECT_EQ(rig.Packet(block), "I.261#2\r\n");     // 2: injected
  EXPECT_EQ(rig.Packet(block), "!\r\n");           // 3
  Bytes rest(data.begin() + 2000, data.end());
  EXPECT_EQ(rig.Packet(rest), "I.261#5\r\n");  // 4: injected, another value
  EXPECT_EQ(rig.Packet(rest), "!\r\n");
  EXPECT_EQ(rig.Command("A.1202"), "!\r\n");
  ASSERT_EQ(rig.instrument.WinCEFiles().size(), 1u);
  EXPECT_EQ(rig.instrument.WinCEFiles()[0].data, data);
}

TEST(SimWinCE, RefusalsAndUnreadablePackets) {
  std::uint32_t now = 0;
  InstrumentConfig cfg = WinCE(&now);
  cfg.wince.maxFileSize = 100000;
  cfg.wince.existing = {{"torvex.exe", 1000, {}, 0}};
  WinCERig rig(cfg);
  rig.Switch();
  const Bytes ten = Random(10, 9);
  // A block outside a file, announcements that cannot be read or held.
  EXPECT_EQ(rig.Packet(ten), "?\r\n");
  EXPECT_EQ(rig.Command("A.1201#NAME_ONLY"), "?\r\n");
  EXPECT_EQ(rig.Command("A.1201#X.BIN,12,size"), "?\r\n");
  EXPECT_EQ(rig.Command("A.1201#,12,10"), "?\r\n");
  EXPECT_EQ(rig.Command("A.1201#BIG.BIN,12,100001"), "?\r\n");
  EXPECT_EQ(rig.Command("A.1300#12345"), "?\r\n");
  // The instrument's own copy is as new: "A.1201#" is skipped, "A.1205#" taken.
  EXPECT_EQ(rig.Command("A.1201#TORVEX.EXE,1000,10"), "I.260\r\n");
  EXPECT_EQ(rig.Command("A.1201#TORVEX.EXE,1001,10"), "!\r\n");
  EXPECT_EQ(rig.Command("A.1205#TORVEX.EXE,999,10"), "!\r\n");
  // Headers it cannot read: "?" and the rest of the line is dropped.
  EXPECT_EQ(rig.Chunked(Of("D.x,A#garbage\r\n")), "?\r\n");
  EXPECT_EQ(rig.Chunked(Of("D.10,AB0123456789\r\n")), "?\r\n");
  // Too long for a block: read to its end by its length, then refused.
  Bytes big = Random(2001, 4);
  EXPECT_EQ(rig.Packet(big), "?\r\n");
  // More than announced, then a file that ends short of its size.
  EXPECT_EQ(rig.Packet(Random(11, 2)), "?\r\n");
  EXPECT_EQ(rig.Packet(Bytes(ten.begin(), ten.begin() + 4)), "!\r\n");
  EXPECT_EQ(rig.Command("A.1202"), "?\r\n");
  EXPECT_EQ(rig.Command("A.1202"), "?\r\n");  // nothing open any more
  ASSERT_EQ(rig.instrument.WinCEFiles().size(), 1u);
  EXPECT_EQ(rig.instrument.WinCEFiles()[0].stamp, 1000u);  // the old copy stays
  EXPECT_TRUE(rig.instrument.WinCEReceived().empty());
  // Ordinary commands still work inside the transfer.
  EXPECT_EQ(rig.Command("A.2000"), "I.20#28160.000\r\n");
}

TEST(SimWinCE, SilenceTimeOutsAndDisconnection) {
  std::uint32_t now = 0;
  InstrumentConfig cfg = WinCE(&now);
  cfg.textFaults = {{sim::TextFaultKind::Silence, "D", 1, 1}};
  cfg.wince.disconnectAfterBlocks = 3;
  WinCERig rig(cfg);
  int hangUps = 0;
  rig.instrument.SetDisconnectHandler([&hangUps] { ++hangUps; });
  rig.Switch();
  const Bytes data = Random(30, 8);
  ASSERT_EQ(rig.Command("A.1201#F.BIN,0,30"), "!\r\n");
  Bytes part(data.begin(), data.begin() + 10);
  EXPECT_EQ(rig.Packet(part), "");  // 1: silenced, not taken
  // A packet that stops arriving is asked for again after the block time-out.
  Bytes packet = sim::WinCEPacket(part.data(), part.size());
  rig.Send(Bytes(packet.begin(), packet.begin() + 12));
  now += 999;
  rig.instrument.Tick();
  EXPECT_EQ(rig.line.TakeText(), "");
  now += 1;
  rig.instrument.Tick();
  EXPECT_EQ(rig.line.TakeText(), "I.261#2\r\n");
  EXPECT_EQ(rig.Packet(part), "!\r\n");  // 2
  // The third packet is the last thing it answers.
  EXPECT_EQ(rig.Packet(Bytes(data.begin() + 10, data.begin() + 20)), "!\r\n");
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::Disconnected);
  EXPECT_EQ(hangUps, 1);
  EXPECT_EQ(rig.Packet(Bytes(data.begin() + 20, data.end())), "");
  EXPECT_EQ(rig.Command("A.1000"), "");

  // A host that gives up at 38400: the instrument goes back to its text line after the idle
  // time.
  std::uint32_t t = 0;
  WinCERig idle(WinCE(&t));
  idle.Switch();
  t += 9999;
  idle.instrument.Tick();
  EXPECT_EQ(idle.instrument.GetState(), sim::Instrument::State::WinCE);
  t += 1;
  idle.Host(simtest::Line(9600));
  EXPECT_EQ(idle.instrument.GetState(), sim::Instrument::State::Text);
  EXPECT_EQ(idle.Command("A.1000"), "!\r\n");

  // Without a block time-out a packet may pause as long as it likes.
  InstrumentConfig patient = WinCE(&t);
  patient.wince.blockTimeoutMs = 0;
  WinCERig slow(patient);
  slow.Switch();
  ASSERT_EQ(slow.Command("A.1201#F.BIN,0,10"), "!\r\n");
  slow.Send(Bytes(packet.begin(), packet.begin() + 12));
  t += 5000;
  slow.instrument.Tick();
  EXPECT_EQ(slow.line.TakeText(), "");
  slow.Send(Bytes(packet.begin() + 12, packet.end()));
  EXPECT_EQ(slow.line.TakeText(), "!\r\n");

  // A silenced speed change is not carried out.
  InstrumentConfig quiet = WinCE(&t);
  quiet.textFaults = {{sim::TextFaultKind::Silence, "A.1300", 1, 1}};
  WinCERig refused(quiet);
  EXPECT_EQ(refused.Command("A.1300#38400"), "");
  EXPECT_EQ(refused.instrument.GetState(), sim::Instrument::State::Text);
}
