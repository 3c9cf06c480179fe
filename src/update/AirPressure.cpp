#include "update/AirPressure.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "update/Replies.h"

namespace update {

namespace {

constexpr std::array<AirPressureEntry, 76> kTable = {{
    {14111108, 961.7f},  // 0
    {14120331, 952.3f},  // 1
    {14120332, 952.3f},  // 2
    {14120333, 948.5f},  // 3
    {14120334, 949.6f},  // 4
    {14120335, 949.2f},  // 5
    {14120336, 949.6f},  // 6
    {14120338, 948.9f},  // 7
    {14120339, 948.1f},  // 8
    {14120340, 948.1f},  // 9
    {14120341, 957.9f},  // 10
    {14120522, 958.0f},  // 11
    {14120524, 958.6f},  // 12
    {14120525, 958.5f},  // 13
    {14120527, 959.5f},  // 14
    {14120528, 959.3f},  // 15
    {14120530, 959.2f},  // 16
    {14120337, 959.4f},  // 17
    {14120342, 959.3f},  // 18
    {14120529, 956.7f},  // 19
    {14120521, 956.0f},  // 20
    {14120531, 957.0f},  // 21
    {14120526, 954.7f},  // 22
    {14120523, 953.7f},  // 23
    {14120532, 952.4f},  // 24
    {14180233, 943.6f},  // 25
    {14180238, 943.4f},  // 26
    {14180243, 943.4f},  // 27
    {14180242, 943.4f},  // 28
    {14180241, 942.8f},  // 29
    {14180240, 943.5f},  // 30
    {14180237, 943.7f},  // 31
    {14180239, 943.8f},  // 32
    {14180236, 942.9f},  // 33
    {14180235, 947.5f},  // 34
    {14180234, 947.2f},  // 35
    {14180456, 947.0f},  // 36
    {14180457, 947.1f},  // 37
    {14180455, 947.4f},  // 38
    {14180452, 946.8f},  // 39
    {14180453, 947.4f},  // 40
    {14180450, 946.9f},  // 41
    {14180451, 946.6f},  // 42
    {14180448, 947.1f},  // 43
    {14180446, 947.1f},  // 44
    {14180447, 947.5f},  // 45
    {14180449, 946.7f},  // 46
    {14180454, 945.5f},  // 47
    {14210045, 945.2f},  // 48
    {14210053, 945.1f},  // 49
    {14210052, 944.7f},  // 50
    {14210046, 947.9f},  // 51
    {14210042, 948.1f},  // 52
    {14210049, 948.4f},  // 53
    {14210048, 948.7f},  // 54
    {14210652, 948.3f},  // 55
    {14210047, 948.3f},  // 56
    {14210651, 948.6f},  // 57
    {14210650, 948.3f},  // 58
    {14210649, 948.4f},  // 59
    {14210648, 948.2f},  // 60
    {14210647, 948.5f},  // 61
    {14210646, 949.1f},  // 62
    {14210643, 948.7f},  // 63
    {14210644, 947.7f},  // 64
    {14210642, 948.4f},  // 65
    {14210641, 947.3f},  // 66
    {14210051, 946.6f},  // 67
    {14210043, 947.3f},  // 68
    {14210645, 949.7f},  // 69
    {14210050, 949.3f},  // 70
    {14210044, 948.8f},  // 71
    {14190952, 951.4f},  // 72
    {14220411, 945.0f},  // 73
    {14191067, 944.7f},  // 74
    {14201275, 945.1f},  // 75
}};

struct AdjustedType {
  std::int32_t deviceNumber;
  std::int32_t minimumVersion;
};
constexpr AdjustedType kAdjustedTypes[] = {{28101, 102}, {28154, 102}, {28160, 101}};

constexpr double kClockEpoch = 37621.0;  // 31 December 2002 as a date-time value
constexpr double kSecondsPerDay = 86400.0;

// A number with a fixed count of decimals, independent of the C locale.
std::string Fixed(double value, int decimals) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed,
                                       decimals);
  if (ec != std::errc()) return "0";
  return std::string(buf, end);
}

// Days from 1 January 1970 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::span<const AirPressureEntry> AirPressureTable() { return kTable; }

std::int32_t LookupAirPressure(std::string_view deviceNumber, std::string_view serialNumber,
                               std::int32_t deviceVersion) {
  const std::int32_t device = DecimalValue(deviceNumber);
  bool adjusted = false;
  for (const AdjustedType& type : kAdjustedTypes) {
    if (type.deviceNumber == device) adjusted = deviceVersion >= type.minimumVersion;
  }
  if (!adjusted) return kAirPressureNone;
  const std::int32_t serial = DecimalValue(serialNumber);
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (kTable[i].serial == serial) return static_cast<std::int32_t>(i);
  }
  return kAirPressureDefault;
}

float AirPressureValue(std::int32_t index) {
  if (index >= 0 && index < static_cast<std::int32_t>(kTable.size())) return kTable[index].pressure;
  return kDefaultAirPressure;
}

std::string AirPressureCommand(std::int32_t index) {
  return "A.6162#" + Fixed(AirPressureValue(index), 1) + "\r\n";
}

LocalDateTime CurrentLocalTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  LocalDateTime out;
  if (const std::tm* tm = std::localtime(&t)) {
    out.year = tm->tm_year + 1900;
    out.month = tm->tm_mon + 1;
    out.day = tm->tm_mday;
    out.hour = tm->tm_hour;
    out.minute = tm->tm_min;
    out.second = tm->tm_sec;
    out.millisecond = static_cast<int>(ms < 0 ? ms + 1000 : ms);
  }
  return out;
}

double DateTimeValue(const LocalDateTime& time) {
  const std::int64_t days = DaysFromCivil(time.year, time.month, time.day) -
                            DaysFromCivil(1899, 12, 30);
  const double dayFraction =
      (((time.hour * 60.0 + time.minute) * 60.0 + time.second) * 1000.0 + time.millisecond) /
      (kSecondsPerDay * 1000.0);
  return static_cast<double>(days) + dayFraction;
}

std::string ClockCommand(ClockForm form, double dateTimeValue) {
  std::string value;
  if (form == ClockForm::Seconds) {
    double seconds = std::trunc((dateTimeValue - kClockEpoch) * kSecondsPerDay);
    // The instrument reads an unsigned 32-bit count.
    seconds = std::isnan(seconds) ? 0.0 : seconds;
    seconds = std::fmin(std::fmax(seconds, 0.0), double{std::numeric_limits<std::uint32_t>::max()});
    value = std::to_string(static_cast<std::uint32_t>(seconds));
  } else {
    value = Fixed(dateTimeValue, 6);
  }
  return "A.1600#" + value + "\r\n";
}

std::string ClockCommand(ClockForm form, const LocalDateTime& time) {
  return ClockCommand(form, DateTimeValue(time));
}

}  // namespace update
