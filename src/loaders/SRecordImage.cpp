#include "loaders/SRecordImage.h"

#include <vector>

namespace loaders {

namespace {
int AddressBytes(int type) {
  switch (type) {
    case 0: case 1: case 5: case 9: return 2;
    case 2: case 6: case 8: return 3;
    case 3: case 7: return 4;
    default: return -1;
  }
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One record: empty why when it is well formed.
std::string CheckRecord(std::string_view line, int& type, std::size_t& address) {
  if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9') return "no S-record";
  type = line[1] - '0';
  const int addressBytes = AddressBytes(type);
  if (addressBytes < 0) return "record type S4 is reserved";
  if (line.size() % 2 != 0) return "odd number of digits";
  std::vector<unsigned> bytes;
  for (std::size_t i = 2; i < line.size(); i += 2) {
    const int hi = Hex(line[i]), lo = Hex(line[i + 1]);
    if (hi < 0 || lo < 0) return "not a hexadecimal digit in column " + std::to_string(i + 1);
    bytes.push_back(static_cast<unsigned>(hi << 4 | lo));
  }
  const std::size_t count = bytes[0];
  if (count != bytes.size() - 1) return "the count does not match the record's length";
  if (count < static_cast<std::size_t>(addressBytes) + 1) return "the count is too small for the address";
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  if ((~sum & 0xFF) != bytes.back()) return "wrong checksum";
  if (type >= 5 && count != static_cast<std::size_t>(addressBytes) + 1) return "data on a count or end record";
  address = 0;
  for (int k = 0; k < addressBytes; ++k) address = address << 8 | bytes[1 + static_cast<std::size_t>(k)];
  return {};
}
}  // namespace

SRecordFileCheck CheckSRecordFile(std::string_view bytes) {
  SRecordFileCheck r;
  bool ended = false;
  std::size_t lineNumber = 0, at = 0;
  while (at < bytes.size()) {
    std::size_t end = at;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
    std::string_view line = bytes.substr(at, end - at);
    ++lineNumber;
    if (end < bytes.size() && bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') ++end;
    at = end + 1;
    if (line.empty()) continue;
    auto fail = [&](std::string why) {
      r.line = lineNumber;
      r.why = std::move(why);
      return r;
    };
    if (ended) return fail("a record after the end record");
    int type = 0;
    std::size_t address = 0;
    std::string why = CheckRecord(line, type, address);
    if (!why.empty()) return fail(why);
    if (type >= 1 && type <= 3) ++r.dataRecords;
    if ((type == 5 || type == 6) && address != r.dataRecords) return fail("the count record does not match the data records");
    if (type >= 7) ended = true;
  }
  if (!ended) {
    r.line = lineNumber;
    r.why = "no end record";
    return r;
  }
  r.ok = true;
  return r;
}

}  // namespace loaders
