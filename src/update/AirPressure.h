#pragma once
// The air-pressure calibration value of the individual instrument and the clock command.
// Three instrument types get a pressure value from a fixed table of serial numbers; the
// clock is set with the PC's local time in one of two forms.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace update {

// Air-pressure index values besides the table positions 0 to 75.
inline constexpr std::int32_t kAirPressureNone = -1;     // no adjustment
inline constexpr std::int32_t kAirPressureWritten = -2;  // value sent in the write dialogue
inline constexpr std::int32_t kAirPressureDefault = -10; // serial number not in the table
inline constexpr float kDefaultAirPressure = 947.0f;

struct AirPressureEntry {
  std::int32_t serial;
  float pressure;
};
// The 76 entries, searched from index 0.
std::span<const AirPressureEntry> AirPressureTable();

// The air-pressure index for an instrument: -1 when the device number (read as a decimal
// number, "28101.000" reads 28101) is not one of the adjusted types or the device version
// is below the type's minimum; else the first entry whose serial number equals the serial
// number text read as a decimal number; -10 when none does.
std::int32_t LookupAirPressure(std::string_view deviceNumber, std::string_view serialNumber,
                               std::int32_t deviceVersion);

// The pressure of a table index, 947.0 for -10 and for any index outside the table.
float AirPressureValue(std::int32_t index);

// "A.6162#" + the pressure with one decimal + CR LF.
std::string AirPressureCommand(std::int32_t index);

enum class ClockForm {
  Seconds,    // whole seconds since 31 December 2002 00:00 local time
  DateValue,  // the date-time value with six decimals
};

struct LocalDateTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The PC's local date and time now.
LocalDateTime CurrentLocalTime();

// Days since 30 December 1899 00:00, with the time of day as the fraction.
double DateTimeValue(const LocalDateTime& time);

// "A.1600#" + the time in the given form + CR LF. The seconds form is computed in floating
// point and truncated, as the instrument expects; a time before its epoch sends 0.
std::string ClockCommand(ClockForm form, double dateTimeValue);
std::string ClockCommand(ClockForm form, const LocalDateTime& time);

}  // namespace update
