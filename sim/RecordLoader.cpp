#include "sim/RecordLoader.h"

#include <cstdio>

namespace sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of an even number of hex digits; false for anything else.
bool HexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

void RecordLoader::Enter() {
  line_.clear();
  overlong_ = false;
  base_ = 0;
  started_ = false;
}

bool RecordLoader::TakeFirmwareStart() {
  bool s = started_;
  started_ = false;
  return s;
}

void RecordLoader::Log(const std::string& text) {
  if (log) log("record", text);
}

void RecordLoader::Feed(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out) {
  for (std::size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\r' || c == '\n') {
      if (overlong_) {
        out.push_back(kNak);
        Log("line too long");
      } else if (!line_.empty()) {
        out.push_back(Line(line_) ? kAck : kNak);
      }
      line_.clear();
      overlong_ = false;
      // After an end record the firmware runs: the rest is not the loader's.
      if (started_) return;
      continue;
    }
    if (line_.size() >= kLineMax)
      overlong_ = true;
    else
      line_.push_back(c);
  }
}

bool RecordLoader::Line(const std::string& line) {
  if (line == "E") {
    flash_.EraseMain();
    Log("erase main");
    return true;
  }
  if (line == "?") return true;
  bool ok = false;
  if (line[0] == ':') ok = IntelRecord(line);
  else if (line[0] == 'S' || line[0] == 's') ok = SRecord(line);
  if (!ok) Log("refused " + line.substr(0, 16));
  return ok;
}

bool RecordLoader::Write(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (flash_.RegionOf(address + static_cast<std::uint32_t>(i)) != Flash::Region::Main) return false;
  for (std::size_t i = 0; i < bytes.size(); ++i) flash_.Program(address + static_cast<std::uint32_t>(i), bytes[i]);
  ++dataRecords_;
  return true;
}

bool RecordLoader::IntelRecord(const std::string& line) {
  std::vector<std::uint8_t> b;
  if (!HexBytes(line.substr(1), b) || b.size() < 5 || b.size() != 5u + b[0]) return false;
  std::uint8_t sum = 0;
  for (std::uint8_t v : b) sum = static_cast<std::uint8_t>(sum + v);
  if (sum != 0) return false;
  const std::uint32_t offset = static_cast<std::uint32_t>(b[1] << 8 | b[2]);
  const std::vector<std::uint8_t> data(b.begin() + 4, b.end() - 1);
  switch (b[3]) {
    case 0x00:
      return Write(base_ + offset, data);
    case 0x01:
      Log("end record");
      started_ = true;
      return true;
    case 0x02:
      if (data.size() != 2) return false;
      base_ = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 4;
      return true;
    case 0x04:
      if (data.size() != 2) return false;
      base_ = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 16;
      Log("base " + Hex(base_));
      return true;
    case 0x03:
    case 0x05:
      return true;
    default:
      return false;
  }
}

bool RecordLoader::SRecord(const std::string& line) {
  if (line.size() < 4) return false;
  const char type = line[1];
  std::vector<std::uint8_t> b;
  if (!HexBytes(line.substr(2), b) || b.empty() || b.size() != 1u + b[0]) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < b.size(); ++i) sum += b[i];
  if (static_cast<std::uint8_t>(~sum & 0xFF) != b.back()) return false;
  std::size_t addressBytes;
  switch (type) {
    case '0': case '5': return true;
    case '6': return true;
    case '1': case '9': addressBytes = 2; break;
    case '2': case '8': addressBytes = 3; break;
    case '3': case '7': addressBytes = 4; break;
    default: return false;
  }
  if (b.size() < 2 + addressBytes) return false;
  std::uint32_t address = 0;
  for (std::size_t i = 0; i < addressBytes; ++i) address = address << 8 | b[1 + i];
  if (type >= '7') {
    Log("end record");
    started_ = true;
    return true;
  }
  return Write(address, std::vector<std::uint8_t>(b.begin() + 1 + static_cast<long>(addressBytes), b.end() - 1));
}

}  // namespace sim
