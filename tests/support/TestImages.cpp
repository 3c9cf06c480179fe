#include "support/TestImages.h"

#include <cstdio>
#include <vector>

namespace testsupport {

namespace {
std::string Hex(unsigned char b) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", b);
  return buf;
}
}  // namespace

std::string TiTxtWithVersion(const std::string& version, unsigned codeBytes, unsigned address) {
  std::vector<unsigned char> data;
  for (char c : std::string("VERS:") + version) data.push_back(static_cast<unsigned char>(c));
  data.push_back(0);
  while (data.size() % 16) data.push_back(0);
  for (unsigned i = 0; i < codeBytes; ++i) data.push_back(static_cast<unsigned char>((i * 37 + 11) & 0xFF));
  if (data.size() % 2) data.push_back(0xFF);
  char head[16];
  std::snprintf(head, sizeof head, "@%04X\r\n", address);
  std::string out = head;
  for (std::size_t i = 0; i < data.size(); ++i) {
    out += Hex(data[i]);
    out += (i % 16 == 15 || i + 1 == data.size()) ? "\r\n" : " ";
  }
  // The vector table: the classic loader's password.
  out += "@FFE0\r\n";
  for (int i = 0; i < 32; ++i) {
    unsigned char b = i >= 30 ? (i == 30 ? 0x00 : 0x31) : 0xFF;
    out += Hex(b);
    out += (i % 16 == 15) ? "\r\n" : " ";
  }
  out += "q\r\n";
  return out;
}

namespace {
void Section(std::string& out, unsigned address, const std::vector<unsigned char>& data) {
  char head[16];
  std::snprintf(head, sizeof head, "@%04X\r\n", address);
  out += head;
  for (std::size_t i = 0; i < data.size(); ++i) {
    out += Hex(data[i]);
    out += (i % 16 == 15 || i + 1 == data.size()) ? "\r\n" : " ";
  }
}
}  // namespace

std::string TiTxt5xx(const std::string& version, unsigned codeBytes, unsigned upperBytes,
                     std::uint16_t resetVector) {
  unsigned seed = 0;
  for (char c : version) seed = seed * 31 + static_cast<unsigned char>(c);
  auto next = [&seed] { return static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16); };
  std::vector<unsigned char> program;
  for (char c : std::string("VERS:") + version) program.push_back(static_cast<unsigned char>(c));
  program.push_back(0);
  while (program.size() % 16) program.push_back(0xFF);
  for (unsigned i = 0; i < codeBytes; ++i) program.push_back(next());
  if (program.size() % 2) program.push_back(0xFF);
  std::string out;
  Section(out, 0x5C00, program);
  if (upperBytes) {
    std::vector<unsigned char> upper;
    for (unsigned i = 0; i < upperBytes; ++i) upper.push_back(next());
    Section(out, 0x10000, upper);
  }
  std::vector<unsigned char> vectors(30, 0xFF);
  vectors.push_back(static_cast<unsigned char>(resetVector & 0xFF));
  vectors.push_back(static_cast<unsigned char>(resetVector >> 8));
  Section(out, 0xFFE0, vectors);
  return out + "q\r\n";
}

std::map<std::uint32_t, std::uint8_t> ParseTiTxt(const std::string& text) {
  std::map<std::uint32_t, std::uint8_t> bytes;
  std::uint32_t address = 0;
  std::size_t i = 0;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < text.size()) {
    char c = text[i];
    if (c == 'q') break;
    if (c == '@') {
      address = 0;
      ++i;
      while (i < text.size() && hex(text[i]) >= 0) address = address * 16 + static_cast<std::uint32_t>(hex(text[i++]));
      continue;
    }
    if (hex(c) >= 0 && i + 1 < text.size() && hex(text[i + 1]) >= 0) {
      bytes[address++] = static_cast<std::uint8_t>(hex(c) * 16 + hex(text[i + 1]));
      i += 2;
      continue;
    }
    ++i;
  }
  return bytes;
}

}  // namespace testsupport
