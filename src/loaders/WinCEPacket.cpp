#include "loaders/WinCEPacket.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace loaders::wince {

namespace {
constexpr std::array<std::uint8_t, 256> MakeTable() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    unsigned r = value;
    for (int shift = 0; shift < 8; ++shift) {
      const bool out = (r & 0x80) != 0;
      r = (r << 1) & 0xFF;
      if (out) r ^= 0x1D;
    }
    table[value] = static_cast<std::uint8_t>(r);
  }
  return table;
}
constexpr std::array<std::uint8_t, 256> kTable = MakeTable();
}  // namespace

const std::array<std::uint8_t, 256>& Crc8Table() { return kTable; }

std::uint8_t Crc8(const std::uint8_t* data, std::size_t n) {
  std::uint8_t r = 0xFF;
  for (std::size_t i = 0; i < n; ++i) r = kTable[r ^ data[i]];
  return r;
}

std::uint8_t CheckCharacter(std::uint8_t crc) {
  if (crc == 0x00) crc = 0x01;
  if (crc == 'D' || crc == ',' || crc == '#') ++crc;
  return crc;
}

std::vector<std::uint8_t> Packet(const std::uint8_t* data, std::size_t n) {
  char head[32];
  const int len = std::snprintf(head, sizeof head, "D.%zu,%c#", n, static_cast<char>(CheckCharacter(Crc8(data, n))));
  if (len <= 0 || static_cast<std::size_t>(len) >= sizeof head || static_cast<std::size_t>(len) + n > kPacketCap)
    return {};
  std::vector<std::uint8_t> packet(head, head + len);
  packet.insert(packet.end(), data, data + n);
  return packet;
}

std::optional<std::string> Announcement(const char* command, const std::string& path, std::uint32_t stamp,
                                        std::uint32_t size) {
  std::string line = std::string(command) + path + "," + std::to_string(stamp) + "," + std::to_string(size) + "\r\n";
  if (line.size() + 1 > kHeaderCap) return std::nullopt;
  return line;
}

std::string SpeedCommand(std::uint32_t baud) { return "A.1300#" + std::to_string(baud) + "\r\n"; }

std::uint32_t DosTimeStamp(std::optional<std::int64_t> unixSeconds) {
  if (!unixSeconds) return kNoTimeStamp;
  std::time_t t = static_cast<std::time_t>(*unixSeconds);
  std::tm local{};
  if (!localtime_r(&t, &local)) return kNoTimeStamp;
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return kNoTimeStamp;
  const std::uint32_t date = static_cast<std::uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  const std::uint32_t time =
      static_cast<std::uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (std::min(local.tm_sec, 59) / 2));
  return date << 16 | time;
}

bool IsAnnouncedRate(std::uint32_t baud) {
  for (std::uint32_t r : kAnnouncedRates)
    if (r == baud) return true;
  return false;
}

}  // namespace loaders::wince
