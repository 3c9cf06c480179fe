#include <gtest/gtest.h>

#include <set>
#include <string>

#include "update/AirPressure.h"

namespace update {

namespace {

TEST(AirPressure, LookupByTypeVersionAndSerialNumber) {
  struct Case {
    const char* device;
    const char* serial;
    std::int32_t version;
    std::int32_t index;
    const char* command;  // for an index that is written
  };
  const Case cases[] = {
      {"28160", "14210045", 101, 48, "A.6162#945.2\r\n"},
      {"28160.000", "14210045", 5000, 48, "A.6162#945.2\r\n"},
      {"28160", "14210045", 100, kAirPressureNone, nullptr},
      {"28101", "12345678", 1020, kAirPressureDefault, "A.6162#947.0\r\n"},
      {"28101.000", "14111108", 102, 0, "A.6162#961.7\r\n"},
      {"28101", "14111108", 101, kAirPressureNone, nullptr},
      {"28154", "14201275", 102, 75, "A.6162#945.1\r\n"},
      {"28154", "14120341 ", 2000, 10, "A.6162#957.9\r\n"},
      {"21130", "14210045", 5000, kAirPressureNone, nullptr},
      {"28160", " ", 1010, kAirPressureDefault, "A.6162#947.0\r\n"},  // serial not asked
      {"", "14210045", 5000, kAirPressureNone, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " / " + c.serial);
    const std::int32_t index = LookupAirPressure(c.device, c.serial, c.version);
    EXPECT_EQ(index, c.index);
    if (c.command) {
      EXPECT_EQ(AirPressureCommand(index), c.command);
    }
  }
}

TEST(AirPressure, TableHoldsSeventySixDistinctSerialNumbers) {
  const auto table = AirPressureTable();
  ASSERT_EQ(table.size(), 76u);
  std::set<std::int32_t> serials;
  for (const auto& e : table) serials.insert(e.serial);
  EXPECT_EQ(serials.size(), 76u);
  EXPECT_EQ(table[36].serial, 14180456);
  EXPECT_FLOAT_EQ(table[36].pressure, 947.0f);
  EXPECT_EQ(table[72].serial, 14190952);
  EXPECT_FLOAT_EQ(table[72].pressure, 951.4f);
}

TEST(AirPressure, ValueOutsideTheTableIsTheDefault) {
  EXPECT_FLOAT_EQ(AirPressureValue(kAirPressureDefault), 947.0f);
  EXPECT_FLOAT_EQ(AirPressureValue(kAirPressureNone), 947.0f);
  EXPECT_FLOAT_EQ(AirPressureValue(76), 947.0f);
  EXPECT_FLOAT_EQ(AirPressureValue(25), 943.6f);
}

TEST(Clock, DateTimeValueCountsDaysSince1899) {
  EXPECT_DOUBLE_EQ(DateTimeValue({1899, 12, 30, 0, 0, 0, 0}), 0.0);
  EXPECT_DOUBLE_EQ(DateTimeValue({2002, 12, 31, 0, 0, 0, 0}), 37621.0);
  EXPECT_DOUBLE_EQ(DateTimeValue({2003, 1, 1, 12, 0, 0, 0}), 37622.5);
  EXPECT_DOUBLE_EQ(DateTimeValue({2024, 2, 29, 6, 0, 0, 0}), 45351.25);
}

TEST(Clock, CommandsInBothForms) {
  const LocalDateTime noon{2003, 1, 1, 12, 0, 0, 0};
  EXPECT_EQ(ClockCommand(ClockForm::Seconds, noon), "A.1600#129600\r\n");
  EXPECT_EQ(ClockCommand(ClockForm::DateValue, noon), "A.1600#37622.500000\r\n");
  EXPECT_EQ(ClockCommand(ClockForm::Seconds, LocalDateTime{2002, 12, 31, 0, 0, 0, 0}),
            "A.1600#0\r\n");
  EXPECT_EQ(ClockCommand(ClockForm::Seconds, LocalDateTime{2026, 12, 10, 11, 30, 15, 0}),
            "A.1600#755609415\r\n");
  // Before the instrument's epoch, and far beyond its 32-bit count.
  EXPECT_EQ(ClockCommand(ClockForm::Seconds, LocalDateTime{2001, 6, 1, 0, 0, 0, 0}),
            "A.1600#0\r\n");
  EXPECT_EQ(ClockCommand(ClockForm::Seconds, 1e9), "A.1600#4294967295\r\n");
}

TEST(Clock, CurrentLocalTimeIsAPlausibleDate) {
  const LocalDateTime now = CurrentLocalTime();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GT(DateTimeValue(now), 45000.0);
}

}  // namespace
}  // namespace update
