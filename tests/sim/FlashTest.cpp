// The flash model and the TI-TXT reader and writer used for preloading and dumps.
#include <gtest/gtest.h>

#include "sim/Flash.h"
#include "sim/Instrument.h"
#include "sim/TiTxt.h"

TEST(SimFlash, RegionsAndPartialFirstSegment) {
  sim::MemoryMap map;  // main 0x1100..0xFFFF: its lowest segment is cut at 0x1100
  sim::Flash flash(map);
  EXPECT_EQ(flash.RegionOf(0x0200), sim::Flash::Region::Ram);
  EXPECT_EQ(flash.RegionOf(0x0FF0), sim::Flash::Region::Rom);
  EXPECT_EQ(flash.RegionOf(0x10FF), sim::Flash::Region::Info);
  EXPECT_EQ(flash.RegionOf(0x1100), sim::Flash::Region::Main);
  EXPECT_EQ(flash.RegionOf(0x0A00), sim::Flash::Region::None);
  EXPECT_EQ(flash.RegionOf(0x10000), sim::Flash::Region::None);
  flash.Program(0x10FF, 0x00);
  flash.Program(0x1100, 0x00);
  flash.Program(0x11FF, 0x00);
  flash.Program(0x1200, 0x00);
  EXPECT_TRUE(flash.EraseSegment(0x1150));
  EXPECT_EQ(flash.Read(0x10FF), 0x00);  // information memory is apart
  EXPECT_EQ(flash.Read(0x1100), 0xFF);
  EXPECT_EQ(flash.Read(0x11FF), 0xFF);
  EXPECT_EQ(flash.Read(0x1200), 0x00);
  EXPECT_FALSE(flash.EraseSegment(0x0300));
  flash.Program(0x0A00, 0x12);  // nothing there
  EXPECT_EQ(flash.Read(0x0A00), 0x00);
}

TEST(SimTiTxt, ParseFormatRoundTrip) {
  const std::string text =
      "@3100\r\n01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10\r\n11 12\r\n@FFFE\r\n00 31 \r\nq\r\n";
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(sim::ParseTiTxt(text, [&](std::uint32_t a, std::uint8_t v) { bytes[a] = v; }, &error)) << error;
  EXPECT_EQ(bytes.size(), 20u);
  EXPECT_EQ(bytes[0x3100], 0x01);
  EXPECT_EQ(bytes[0x3111], 0x12);
  EXPECT_EQ(bytes[0xFFFF], 0x31);

  sim::InstrumentConfig cfg;
  sim::Instrument instrument(cfg);
  ASSERT_TRUE(instrument.LoadFirmware(text, &error)) << error;
  std::string dump = instrument.DumpTiTxt();
  std::map<std::uint32_t, std::uint8_t> again;
  ASSERT_TRUE(sim::ParseTiTxt(dump, [&](std::uint32_t a, std::uint8_t v) { again[a] = v; }, &error));
  // The dump holds the image and the rest of the vector table (fill bytes 0xFF are not shown).
  for (const auto& [a, v] : bytes) EXPECT_EQ(again[a], v) << std::hex << a;
  EXPECT_EQ(again, instrument.FlashBytes());
  EXPECT_NE(dump.find("@3100\r\n01 02"), std::string::npos);
}

TEST(SimTiTxt, RefusesWhatIsNotTiTxt) {
  std::string error;
  auto ignore = [](std::uint32_t, std::uint8_t) {};
  EXPECT_FALSE(sim::ParseTiTxt("01 02\r\nq\r\n", ignore, &error));  // no address
  EXPECT_FALSE(sim::ParseTiTxt("@\r\n01\r\n", ignore, &error));
  EXPECT_FALSE(sim::ParseTiTxt("@3100\r\n012\r\n", ignore, &error));
  EXPECT_FALSE(sim::ParseTiTxt("@3100\r\nZZ\r\n", ignore, &error));
  EXPECT_FALSE(sim::ParseTiTxt("@123456789\r\n", ignore, &error));
  EXPECT_TRUE(sim::ParseTiTxt("@3100\r\n01\r\nq garbage after the end", ignore, &error));
}
