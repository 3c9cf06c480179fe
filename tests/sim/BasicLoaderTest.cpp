// The Basic-Loader terminal: Motorola S-records, the loader's phrases and when it says them,
// whole files written by srec_cat (package srecord) and its memory compared back with
// srec_cmp and a binary from srec_cat, split reads, defective records and the faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "SimHarness.h"
#include "sim/BasicLoader.h"
#include "support/RunProgram.h"

using simtest::Rig;
using sim::InstrumentConfig;
namespace fs = std::filesystem;

namespace {

const char* const Erased = "Erasing Flash-Memory (1) !\r\nFlash-Memory (1/2) erased !\r\nWaiting for S-Record !\r\n";

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    fs::path p = fs::path(dir.empty() ? "." : dir) / name;
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.string();
  }
  return {};
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

InstrumentConfig Basic(std::uint32_t textBaud = 19200) {
  InstrumentConfig cfg;
  cfg.baud = textBaud;
  cfg.basic.enabled = true;
  return cfg;
}

platform::LineSettings PcLine(bool handshake = true) {
  platform::LineSettings s = simtest::Line(19200);
  s.ctsFlow = handshake;
  return s;
}

struct BasicRig : Rig {
  explicit BasicRig(InstrumentConfig cfg = Basic()) : Rig(std::move(cfg)) {}
  void Host(const platform::LineSettings& s) {
    line.host = s;
    instrument.OnHostLineChanged(s);
  }
  // Into the loader and up to its request for the file; returns what was said on the way.
  std::string ToReceiving() {
    std::string said = Ask("A.1220");
    Host(PcLine());
    return said + line.TakeText();
  }
  std::string SendFile(const std::string& text, std::size_t chunk) {
    line.bytes.clear();
    for (std::size_t at = 0; at < text.size(); at += chunk) Send(text.substr(at, chunk));
    return line.TakeText();
  }
};

// A record line with its count and checksum, computed here from the record's rules.
std::string Record(int type, const std::string& addressAndData) {
  std::string hex = addressAndData;
  unsigned count = static_cast<unsigned>(hex.size() / 2 + 1);
  unsigned sum = count;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) sum += std::stoul(hex.substr(i, 2), nullptr, 16);
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", count);
  std::string line = "S" + std::to_string(type) + buf + hex;
  std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
  return line + buf;
}

}  // namespace

TEST(SimBasicLoader, SRecordsFollowTheirRules) {
  // A published example file: header, three S1 records, the count and the end record.
  const char* good[] = {
      "S00F000068656C6C6F202020202000003C",
      "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026",
      "S11F001C4BFFFFE5398000007D83637880010014382100107C0803A64E800020E9",
      "S111003848656C6C6F20776F726C642E0A0042",
      "S5030003F9",
      "S9030000FC",
  };
  sim::SRecord r;
  std::string why;
  ASSERT_TRUE(sim::ParseSRecord(good[0], r, &why)) << why;
  EXPECT_EQ(std::string(r.data.begin(), r.data.end()), std::string("hello     \0\0", 12));
  ASSERT_TRUE(sim::ParseSRecord(good[3], r, &why)) << why;
  EXPECT_EQ(r.type, 1);
  EXPECT_EQ(r.address, 0x38u);
  EXPECT_EQ(std::string(r.data.begin(), r.data.end()), std::string("Hello world.\n\0", 14));
  for (const char* line : good) EXPECT_TRUE(sim::ParseSRecord(line, r, &why)) << line << ": " << why;
  ASSERT_TRUE(sim::ParseSRecord("S5030003F9", r, &why));
  EXPECT_EQ(r.address, 3u);

  struct Address {
    std::string line;
    int type;
    std::uint32_t address;
    std::size_t data;
    std::string formatted;  // when it differs from the line
  } addresses[] = {
      {Record(2, "012345AABB"), 2, 0x012345, 2, ""}, {Record(3, "89ABCDEF11"), 3, 0x89ABCDEF, 1, ""},
      {Record(6, "010000"), 6, 0x10000, 0, ""},       {Record(7, "00012000"), 7, 0x12000, 0, ""},
      {Record(8, "000100"), 8, 0x100, 0, ""},         {"S1050010aabb85", 1, 0x10, 2, "S1050010AABB85"},
  };
  for (const Address& a : addresses) {
    ASSERT_TRUE(sim::ParseSRecord(a.line, r, &why)) << a.line << ": " << why;
    EXPECT_EQ(r.type, a.type);
    EXPECT_EQ(r.address, a.address);
    EXPECT_EQ(r.data.size(), a.data);
    EXPECT_EQ(sim::FormatSRecord(a.type, a.address, r.data.data(), r.data.size()),
              a.formatted.empty() ? a.line : a.formatted);
  }

  const std::string bad[] = {
      "S111003848656C6C6F20776F726C642E0A0043",   // checksum
      "S112003848656C6C6F20776F726C642E0A0042",   // count one too high
      "S111003848656C6C6F20776F726C642E0A004",    // odd number of digits
      "S111003848656C6C6F20776F726C642E0A00422",  // one digit too many
      "S111003848656C6CGF20776F726C642E0A0042",   // not hexadecimal
      "S4030000FC",                               // reserved type
      "X9030000FC",                               // no "S"
      "S9",                                       // nothing after the type
      Record(9, "0000AA"),                        // data on an end record
      Record(5, "0003AA"),                        // data on a count record
      "S10200FD",                                 // count too small for the address
      Record(3, "1234"),                          // likewise, for S3
  };
  for (const std::string& line : bad) EXPECT_FALSE(sim::ParseSRecord(line, r, &why)) << line;
}

TEST(SimBasicLoader, WholeFilesFromSrecCatInAnyChunking) {
  std::string srecCat = FindOnPath("srec_cat"), srecCmp = FindOnPath("srec_cmp");
  if (srecCat.empty() || srecCmp.empty()) GTEST_SKIP() << "srec_cat and srec_cmp (package srecord) are needed";
  std::string dir = testsupport::MakeTempDir("sim-basic");
  struct Case {
    const char* width;  // address length: S1/S9, S2/S8, S3/S7
    const char* first;
    const char* second;
    std::size_t chunk;
    bool crlf;
  } cases[] = {
      {"2", "0x0100", "0x9000", 2000, false},
      {"3", "0x10000", "0x7F000", 1, true},
      {"4", "0x00300", "0x41000", 13, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    std::string in = dir + "/in" + c.width + ".srec";
    // Two runs of random bytes with a gap between them, and an end record.
    auto r = testsupport::RunProgram(
        {srecCat, "-generate", c.first, std::to_string(std::stoul(c.first, nullptr, 16) + 3000), "-random",
         "-generate", c.second, std::to_string(std::stoul(c.second, nullptr, 16) + 1234), "-random", "-o", in,
         "-address-length=" + std::string(c.width), "-execution-start-address=0x100"},
        "", {}, 20000);
    ASSERT_EQ(r.status, 0) << r.output;
    std::string text = Slurp(in);
    if (c.crlf) {
      std::string converted;
      for (char ch : text) converted += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
      text = converted;
    }

    BasicRig rig;
    EXPECT_EQ(rig.Ask("A.1200"), "!\r\nI.208#0\r\n");
    EXPECT_EQ(rig.ToReceiving(), std::string("\r\nBasic-Loader / 1.02\r\nReady PC ?  Seg=0\r\n") + Erased);
    EXPECT_EQ(rig.SendFile(text, c.chunk), "Flash-Memory (1) programmed !\r\n");
    EXPECT_EQ(rig.instrument.BasicLoaderPhase(), sim::BasicLoader::Phase::Programmed);

    std::string dump = dir + "/dump" + c.width + ".srec";
    std::ofstream(dump, std::ios::binary) << rig.instrument.DumpBasicSRecords();
    r = testsupport::RunProgram({srecCmp, in, dump}, "", {}, 20000);
    EXPECT_EQ(r.status, 0) << r.output;

    std::uint32_t base = 1;
    std::vector<std::uint8_t> raw = rig.instrument.DumpBasicBinary(&base);
    EXPECT_EQ(base, 0u);
    ASSERT_GT(raw.size(), 3000u);
    std::string bin = dir + "/in" + c.width + ".bin";
    r = testsupport::RunProgram({srecCat, in, "-fill", "0xFF", "0", std::to_string(raw.size()), "-o", bin, "-binary"},
                                "", {}, 20000);
    ASSERT_EQ(r.status, 0) << r.output;
    std::string want = Slurp(bin);
    EXPECT_TRUE(std::string(raw.begin(), raw.end()) == want) << raw.size() << " vs " << want.size();
  }
  fs::remove_all(dir);
}

TEST(SimBasicLoader, PhrasesAndWhenTheyAreSaid) {
  // At another text rate the banner is lost in line errors; it goes on only once the PC
  // listens at 19200 with the handshake.
  BasicRig slow(Basic(9600));
  EXPECT_EQ(slow.Ask("A.1220"), "");
  EXPECT_EQ(slow.line.errors.size(), 1u);
  EXPECT_EQ(slow.instrument.ListeningBaud(), 19200u);
  slow.Host(PcLine(false));
  EXPECT_EQ(slow.line.TakeText(), "");
  slow.Host(PcLine(true));
  EXPECT_EQ(slow.line.TakeText(), Erased);

  const std::string file = Record(1, "0100AA55") + "\r\n" + Record(5, "0001") + "\r\n" + Record(9, "0100") + "\r\n";
  struct Case {
    const char* what;
    void (*set)(sim::BasicLoaderConfig&);
    std::string said;
    std::string end;
  } cases[] = {
      {"defaults", [](sim::BasicLoaderConfig&) {},
       std::string("\r\nBasic-Loader / 1.02\r\nReady PC ?  Seg=0\r\n") + Erased, "Flash-Memory (1) programmed !\r\n"},
      {"second segment, whole flash, plain success",
       [](sim::BasicLoaderConfig& b) {
         b.banner = "Basic-Loader / 1.01";
         b.segment = 1;
         b.halves = false;
         b.success = sim::BasicSuccess::Plain;
       },
       "\r\nBasic-Loader / 1.01\r\nReady PC ?  Seg=1\r\nErasing Flash-Memory (2) !\r\nFlash-Memory erased !\r\n"
       "Waiting for S-Record !\r\n",
       "Flash-Memory programmed\r\n"},
      {"success bytes", [](sim::BasicLoaderConfig& b) { b.success = sim::BasicSuccess::Bytes; },
       std::string("\r\nBasic-Loader / 1.02\r\nReady PC ?  Seg=0\r\n") + Erased, "\xA1\x48\x20\x14"},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg = Basic();
    c.set(cfg.basic);
    BasicRig rig(cfg);
    EXPECT_EQ(rig.ToReceiving(), c.said) << c.what;
    EXPECT_EQ(rig.SendFile(file, 5), c.end) << c.what;
    EXPECT_EQ(rig.instrument.BasicMemory(), (std::map<std::uint32_t, std::uint8_t>{{0x100, 0xAA}, {0x101, 0x55}}));
  }

  // Started in the loader: no banner, straight on when the PC is there.
  InstrumentConfig started = Basic();
  started.basic.startInLoader = true;
  BasicRig rig(started);
  EXPECT_EQ(rig.instrument.GetState(), sim::Instrument::State::BasicLoader);
  rig.Host(PcLine());
  EXPECT_EQ(rig.line.TakeText(), Erased);
}

TEST(SimBasicLoader, DefectiveRecordEndsTheRun) {
  const std::string head = Record(0, "0000414243") + "\r\n" + Record(1, "0200112233") + "\r\n";
  const std::string end = Record(9, "0000") + "\r\n";
  struct Case {
    const char* what;
    std::string record;
    bool german = false;
  } cases[] = {
      {"checksum", "S1050300AABB00"},
      {"no record", "hello"},
      {"count record", Record(5, "0002")},
      {"below the flash", Record(1, "00FF11")},  // flash starts at 0x100 here
      {"above the flash", Record(2, "07FFFF1122")},
      {"too long", "S1" + std::string(600, '0')},
      {"in German", "S1050300AABB00", true},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg = Basic();
    cfg.basic.flashStart = 0x100;
    cfg.basic.germanDefect = c.german;
    BasicRig rig(cfg);
    rig.ToReceiving();
    EXPECT_EQ(rig.SendFile(head + c.record + "\r\n", 7), c.german ? "Record defekt!\r\n" : "S-Record defect!\r\n")
        << c.what;
    EXPECT_EQ(rig.instrument.BasicLoaderPhase(), sim::BasicLoader::Phase::Defect) << c.what;
    EXPECT_EQ(rig.SendFile(end, 100), "") << c.what;  // nothing more is taken
    EXPECT_EQ(rig.instrument.BasicMemory().size(), 3u) << c.what;
  }

  // Records before the loader asked for them are not taken.
  BasicRig early;
  early.Ask("A.1220");
  early.line.host = PcLine(false);
  EXPECT_EQ(early.SendFile(head + end, 100), "");
  EXPECT_TRUE(early.instrument.BasicMemory().empty());

  // A host that does not stop on CTS loses what it sends while a record is programmed.
  std::string file = head;
  for (int i = 0; i < 20; ++i) file += Record(1, "1000" + std::string(64, 'A' + i % 6)) + "\r\n";
  file += end;
  BasicRig noFlow;
  noFlow.ToReceiving();
  noFlow.Host(PcLine(false));
  EXPECT_EQ(noFlow.SendFile(file, 300), "S-Record defect!\r\n");
}

TEST(SimBasicLoader, InjectedFaults) {
  std::string file = Record(0, "0000") + "\r\n";
  for (int i = 0; i < 4; ++i) file += Record(1, "01" + std::to_string(i) + "0AABBCC") + "\r\n";
  file += Record(9, "0000") + "\r\n";
  struct Case {
    sim::BasicFaultKind kind;
    std::string said;
    sim::BasicLoader::Phase phase;
    std::size_t bytes;  // programmed
  } cases[] = {
      {sim::BasicFaultKind::Defect, "S-Record defect!\r\n", sim::BasicLoader::Phase::Defect, 3},
      {sim::BasicFaultKind::Silence, "", sim::BasicLoader::Phase::Silent, 3},
      {sim::BasicFaultKind::Abort, "", sim::BasicLoader::Phase::Aborted, 3},
  };
  for (const Case& c : cases) {
    InstrumentConfig cfg = Basic();
    cfg.basic.fault = c.kind;
    cfg.basic.faultRecord = 3;
    BasicRig rig(cfg);
    int hangUps = 0;
    rig.instrument.SetDisconnectHandler([&hangUps] { ++hangUps; });
    rig.ToReceiving();
    EXPECT_EQ(rig.SendFile(file, 40), c.said);
    EXPECT_EQ(rig.instrument.BasicLoaderPhase(), c.phase);
    EXPECT_EQ(rig.instrument.BasicMemory().size(), c.bytes);
    bool aborted = c.kind == sim::BasicFaultKind::Abort;
    EXPECT_EQ(rig.instrument.GetState(),
              aborted ? sim::Instrument::State::Disconnected : sim::Instrument::State::BasicLoader);
    EXPECT_EQ(hangUps, aborted ? 1 : 0);
  }
}
