#include "sim/TiTxt.h"

#include <cctype>
#include <cstdio>

namespace sim {

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool ParseTiTxt(const std::string& text,
                const std::function<void(std::uint32_t, std::uint8_t)>& put, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  bool haveAddress = false;
  std::uint32_t address = 0;
  std::size_t i = 0, n = text.size();
  while (i < n) {
    char c = text[i];
    if (c == 'q' || c == 'Q') return true;
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (c == '@') {
      ++i;
      std::uint32_t value = 0;
      int digits = 0;
      while (i < n && HexDigit(text[i]) >= 0) {
        if (++digits > 8) return fail("address too long");
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(text[i]));
        ++i;
      }
      if (digits == 0) return fail("'@' without an address");
      address = value;
      haveAddress = true;
      continue;
    }
    if (i + 1 >= n || HexDigit(c) < 0 || HexDigit(text[i + 1]) < 0)
      return fail("unexpected character at offset " + std::to_string(i));
    if (i + 2 < n && !std::isspace(static_cast<unsigned char>(text[i + 2])) && text[i + 2] != 'q')
      return fail("byte value longer than two digits at offset " + std::to_string(i));
    if (!haveAddress) return fail("data before the first address");
    put(address++, static_cast<std::uint8_t>(HexDigit(c) * 16 + HexDigit(text[i + 1])));
    i += 2;
  }
  return true;
}

std::string FormatTiTxt(const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& runs) {
  std::string out;
  char buf[16];
  for (const auto& [address, data] : runs) {
    std::snprintf(buf, sizeof buf, "@%04X\r\n", static_cast<unsigned>(address));
    out += buf;
    for (std::size_t k = 0; k < data.size(); ++k) {
      std::snprintf(buf, sizeof buf, "%02X", data[k]);
      out += buf;
      out += (k % 16 == 15 || k + 1 == data.size()) ? "\r\n" : " ";
    }
  }
  out += "q\r\n";
  return out;
}

}  // namespace sim
