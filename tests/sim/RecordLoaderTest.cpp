// The record loader that the stand-in loaders talk to: entered after the program command,
// Intel HEX and S-record lines as their published formats define them, one answer per line.
#include <gtest/gtest.h>

#include "SimHarness.h"

namespace {

using simtest::Line;
using simtest::Rig;

constexpr char kAck = 0x06, kNak = 0x15;

sim::InstrumentConfig RecordConfig() {
  sim::InstrumentConfig c;
  c.recordLoader.enabled = true;
  c.recordLoader.baud = 38400;
  return c;
}

// The instrument acknowledged the program command and listens at the loader's rate.
void EnterLoader(Rig& rig) {
  ASSERT_EQ(rig.Ask("A.1200"), "!\r\n");
  EXPECT_EQ(rig.instrument.ListeningBaud(), 38400u);
  rig.line.host = Line(38400);
}

TEST(RecordLoader, ProgramCommandEntersItOnlyWhenEnabled) {
  Rig plain;
  EXPECT_EQ(plain.Ask("A.1200"), "!\r\n");
  EXPECT_EQ(plain.instrument.ListeningBaud(), 9600u);
  Rig rig(RecordConfig());
  EnterLoader(rig);
  // At the text rate nothing is heard any more.
  rig.line.host = Line(9600);
  EXPECT_EQ(rig.Ask("?"), "");
}

TEST(RecordLoader, IntelHexRecordsProgramTheFlash) {
  Rig rig(RecordConfig());
  EnterLoader(rig);
  EXPECT_EQ(rig.Ask("E"), std::string(1, kAck));
  // Four data bytes at 0x3100 (checksum: two's complement of the byte sum).
  EXPECT_EQ(rig.Ask(":04310000DEADBEEF93"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.ReadMemory(0x3100), 0xDE);
  EXPECT_EQ(rig.instrument.ReadMemory(0x3103), 0xEF);
  struct Refused {
    const char* why;
    const char* line;
  } refused[] = {
      {"checksum", ":04310000DEADBEEF94"},
      {"length", ":05310000DEADBEEF92"},
      {"not hex", ":0431000GDEADBEEF93"},
      {"odd digits", ":04310000DEADBEEF9"},
      {"unknown type", ":00000006FA"},
      {"outside main flash (RAM)", ":0102000012EB"},
      {"not a record", "HELLO"},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(rig.Ask(r.line), std::string(1, kNak));
  }
  EXPECT_EQ(rig.instrument.ReadMemory(0x0200), 0x00);
  // The end record is acknowledged and starts the firmware at the text rate.
  EXPECT_EQ(rig.Ask(":00000001FF"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.ListeningBaud(), 9600u);
  EXPECT_EQ(rig.instrument.FirmwareStarts(), 1);
}

TEST(RecordLoader, SRecordsAndTheExtendedAddress) {
  Rig rig(RecordConfig());
  EnterLoader(rig);
  EXPECT_EQ(rig.Ask("S00600004844521B"), std::string(1, kAck));  // header "HDR"
  // S1: two address bytes; checksum: ones' complement of the low byte of the sum.
  EXPECT_EQ(rig.Ask("S107310001020304BD"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.ReadMemory(0x3102), 0x03);
  EXPECT_EQ(rig.Ask("S107310001020304BE"), std::string(1, kNak));
  // Programming clears bits only: the same address again gives old AND new.
  EXPECT_EQ(rig.Ask("S10531000F0FAB"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.ReadMemory(0x3100), 0x01);
  EXPECT_EQ(rig.instrument.ReadMemory(0x3101), 0x02);
  // Intel HEX with a linear base of 0x10000: above the 64 KB part of this device.
  EXPECT_EQ(rig.Ask(":020000040001F9"), std::string(1, kAck));
  EXPECT_EQ(rig.Ask(":0100000055AA"), std::string(1, kNak));
  EXPECT_EQ(rig.Ask("S9033100CB"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.FirmwareStarts(), 1);
}

// Erase brings back the erased state; a firmware started afterwards reads its version
// from the marker in flash.
TEST(RecordLoader, EraseAndVersionAfterStart) {
  Rig rig(RecordConfig());
  EnterLoader(rig);
  EXPECT_EQ(rig.Ask(":04310000DEADBEEF93"), std::string(1, kAck));
  EXPECT_EQ(rig.Ask("E"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.ReadMemory(0x3100), 0xFF);
  // "VERS:1.07" at 0x4000.
  EXPECT_EQ(rig.Ask(":09400000564552533A312E3037770"), std::string(1, kNak));  // one digit too many
  EXPECT_EQ(rig.Ask(":09400000564552533A312E303777"), std::string(1, kAck));
  EXPECT_EQ(rig.Ask(":00000001FF"), std::string(1, kAck));
  EXPECT_EQ(rig.instrument.Version(), "1.07");
  EXPECT_EQ(rig.instrument.FlashBytes().size(), 9u);
}

}  // namespace
