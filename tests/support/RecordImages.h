#pragma once
// Firmware images for the external-loader tests: the same bytes written as Motorola
// S-records, as Intel HEX and as TI-TXT (what instrument-sim compares a flash dump with).
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using ImageRuns = std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>;

// Runs of recognisable bytes below 64 KB, with "VERS:" and the version text (the flash
// marker the simulated instrument reads its version from after the start) in the first
// record, where the tool looks for a text image's version.
inline ImageRuns VersionedImage(const std::string& version, std::size_t bytes = 600) {
  std::vector<std::uint8_t> code;
  for (std::size_t i = 0; i < bytes; ++i) code.push_back(static_cast<std::uint8_t>((i * 7 + 3) & 0xFF));
  std::string marker = "VERS:" + version;
  std::vector<std::uint8_t> tail(marker.begin(), marker.end());
  tail.push_back(0);
  return {{0x3000, tail}, {0x3100, code}};
}

inline std::string HexByte(unsigned v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

inline std::string SRecords(const ImageRuns& runs) {
  std::string out = "S00600004844521B\r\n";
  for (const auto& [address, data] : runs)
    for (std::size_t at = 0; at < data.size(); at += 16) {
      std::size_t n = std::min<std::size_t>(16, data.size() - at);
      const std::uint32_t a = address + static_cast<std::uint32_t>(at);
      unsigned sum = static_cast<unsigned>(n + 3) + (a >> 8 & 0xFF) + (a & 0xFF);
      std::string line = "S1" + HexByte(static_cast<unsigned>(n + 3)) + HexByte(a >> 8) + HexByte(a);
      for (std::size_t k = 0; k < n; ++k) {
        line += HexByte(data[at + k]);
        sum += data[at + k];
      }
      out += line + HexByte(~sum) + "\r\n";
    }
  return out + "S9030000FC\r\n";
}

inline std::string IntelHex(const ImageRuns& runs) {
  std::string out;
  for (const auto& [address, data] : runs)
    for (std::size_t at = 0; at < data.size(); at += 16) {
      std::size_t n = std::min<std::size_t>(16, data.size() - at);
      const std::uint32_t a = address + static_cast<std::uint32_t>(at);
      unsigned sum = static_cast<unsigned>(n) + (a >> 8 & 0xFF) + (a & 0xFF);
      std::string line = ":" + HexByte(static_cast<unsigned>(n)) + HexByte(a >> 8) + HexByte(a) + "00";
      for (std::size_t k = 0; k < n; ++k) {
        line += HexByte(data[at + k]);
        sum += data[at + k];
      }
      out += line + HexByte(0x100 - (sum & 0xFF)) + "\r\n";
    }
  return out + ":00000001FF\r\n";
}

inline std::string TiTxt(const ImageRuns& runs) {
  std::string out;
  for (const auto& [address, data] : runs) {
    char head[16];
    std::snprintf(head, sizeof head, "@%04X\r\n", static_cast<unsigned>(address));
    out += head;
    for (std::size_t k = 0; k < data.size(); ++k)
      out += HexByte(data[k]) + ((k % 16 == 15 || k + 1 == data.size()) ? "\r\n" : " ");
  }
  return out + "q\r\n";
}

}  // namespace testsupport
