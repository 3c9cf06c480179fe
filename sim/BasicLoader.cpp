#include "sim/BasicLoader.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {
// "S", type, count and 255 counted bytes: the longest record there can be.
constexpr std::size_t MaxRecordLine = 4 + 2 * 255;

int AddressBytes(int type) {
  switch (type) {
    case 0: case 1: case 5: case 9: return 2;
    case 2: case 6: case 8: return 3;
    case 3: case 7: return 4;
    default: return -1;  // S4 is reserved
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Hex(std::uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, static_cast<unsigned>(v));
  return buf;
}
}  // namespace

bool ParseSRecord(const std::string& line, SRecord& record, std::string* why) {
  auto fail = [why](const std::string& reason) {
    if (why) *why = reason;
    return false;
  };
  if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9')
    return fail("no record: \"S\" and a type digit expected");
  int type = line[1] - '0';
  int addressBytes = AddressBytes(type);
  if (addressBytes < 0) return fail("record type S4 is reserved");
  if (line.size() % 2 != 0) return fail("odd number of hexadecimal digits");
  std::vector<std::uint8_t> bytes;  // count, address, data, checksum
  for (std::size_t i = 2; i < line.size(); i += 2) {
    int hi = HexDigit(line[i]), lo = HexDigit(line[i + 1]);
    if (hi < 0 || lo < 0) return fail("not a hexadecimal digit at column " + std::to_string(i + 1));
    bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  std::size_t count = bytes[0];
  if (count != bytes.size() - 1)
    return fail("count " + std::to_string(count) + " but " + std::to_string(bytes.size() - 1) + " bytes follow");
  if (count < static_cast<std::size_t>(addressBytes) + 1)
    return fail("count " + std::to_string(count) + " too small for the address");
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
  std::uint8_t want = static_cast<std::uint8_t>(~sum & 0xFF);
  if (bytes.back() != want) return fail("checksum " + Hex(bytes.back(), 2) + ", the bytes give " + Hex(want, 2));
  std::size_t dataBytes = count - addressBytes - 1;
  if (type >= 5 && dataBytes != 0) return fail("data on a count or end record");
  record.type = type;
  record.address = 0;
  for (int k = 0; k < addressBytes; ++k) record.address = record.address << 8 | bytes[1 + k];
  record.data.assign(bytes.begin() + 1 + addressBytes, bytes.end() - 1);
  return true;
}

std::string FormatSRecord(int type, std::uint32_t address, const std::uint8_t* data, std::size_t n) {
  int addressBytes = AddressBytes(type);
  if (addressBytes < 0) addressBytes = 2;
  std::size_t count = addressBytes + n + 1;
  std::string line = "S" + std::to_string(type) + Hex(static_cast<std::uint32_t>(count), 2) +
                     Hex(address, addressBytes * 2);
  unsigned sum = static_cast<unsigned>(count);
  for (int k = 0; k < addressBytes; ++k) sum += (address >> (8 * k)) & 0xFF;
  for (std::size_t i = 0; i < n; ++i) {
    line += Hex(data[i], 2);
    sum += data[i];
  }
  return line + Hex(~sum & 0xFF, 2);
}

std::string FormatSRecords(const std::map<std::uint32_t, std::uint8_t>& bytes, const std::string& header,
                           std::uint32_t entry) {
  std::uint32_t top = std::max(bytes.empty() ? 0 : bytes.rbegin()->first, entry);
  int dataType = top <= 0xFFFF ? 1 : top <= 0xFFFFFF ? 2 : 3;
  std::string out = FormatSRecord(0, 0, reinterpret_cast<const std::uint8_t*>(header.data()),
                                  std::min<std::size_t>(header.size(), 64)) + "\r\n";
  std::size_t records = 0;
  auto it = bytes.begin();
  while (it != bytes.end()) {
    std::uint32_t start = it->first;
    std::vector<std::uint8_t> run;
    while (it != bytes.end() && it->first == start + run.size() && run.size() < 32) run.push_back((it++)->second);
    out += FormatSRecord(dataType, start, run.data(), run.size()) + "\r\n";
    ++records;
  }
  if (records <= 0xFFFF)
    out += FormatSRecord(5, static_cast<std::uint32_t>(records), nullptr, 0) + "\r\n";
  else if (records <= 0xFFFFFF)
    out += FormatSRecord(6, static_cast<std::uint32_t>(records), nullptr, 0) + "\r\n";
  out += FormatSRecord(10 - dataType, entry, nullptr, 0) + "\r\n";
  return out;
}

const char* PhaseName(BasicLoader::Phase phase) {
  switch (phase) {
    case BasicLoader::Phase::Off: return "off";
    case BasicLoader::Phase::WaitingForPc: return "waiting for the PC";
    case BasicLoader::Phase::Receiving: return "receiving";
    case BasicLoader::Phase::Programmed: return "programmed";
    case BasicLoader::Phase::Defect: return "defect";
    case BasicLoader::Phase::Silent: return "silent";
    case BasicLoader::Phase::Aborted: return "aborted";
  }
  return "?";
}

BasicLoader::BasicLoader(const BasicLoaderConfig& config) : config_(config) {}

void BasicLoader::Say(std::vector<std::uint8_t>& out, const std::string& line) {
  out.insert(out.end(), line.begin(), line.end());
  out.push_back('\r');
  out.push_back('\n');
}

void BasicLoader::Enter(std::vector<std::uint8_t>& out) {
  EnterQuietly();
  out.push_back('\r');
  out.push_back('\n');
  Say(out, config_.banner);
  Say(out, "Ready PC ?  Seg=" + std::to_string(config_.segment));
}

void BasicLoader::EnterQuietly() {
  phase_ = Phase::WaitingForPc;
  line_.clear();
  overlong_ = false;
  records_ = dataRecords_ = 0;
  Log("loader", "started, waiting for the PC");
}

void BasicLoader::PcReady(std::vector<std::uint8_t>& out) {
  if (phase_ != Phase::WaitingForPc) return;
  std::string flash = "(" + std::to_string(config_.segment + 1) + ")";
  Say(out, "Erasing Flash-Memory " + flash + " !");
  memory_.clear();
  Say(out, config_.halves ? "Flash-Memory (1/2) erased !" : "Flash-Memory erased !");
  Say(out, "Waiting for S-Record !");
  phase_ = Phase::Receiving;
  Log("loader", "PC ready: flash erased, waiting for S-records");
}

void BasicLoader::Defect(const std::string& why, std::vector<std::uint8_t>& out) {
  Log("fault", "record " + std::to_string(records_) + " defective: " + why);
  Say(out, config_.germanDefect ? "Record defekt!" : "S-Record defect!");
  phase_ = Phase::Defect;
}

void BasicLoader::Feed(const std::uint8_t* data, std::size_t n, bool flowControl, std::vector<std::uint8_t>& out) {
  if (phase_ != Phase::Receiving) {
    if (n > 0) Log("loader", std::to_string(n) + " bytes ignored (" + PhaseName(phase_) + ")");
    return;
  }
  for (std::size_t i = 0; i < n && phase_ == Phase::Receiving; ++i) {
    char c = static_cast<char>(data[i]);
    if (c != '\r' && c != '\n') {
      if (line_.size() < MaxRecordLine)
        line_ += c;
      else
        overlong_ = true;
      continue;
    }
    if (line_.empty() && !overlong_) continue;
    std::string line;
    line.swap(line_);
    bool overlong = overlong_;
    overlong_ = false;
    ++records_;
    if (overlong) {
      Defect("longer than " + std::to_string(MaxRecordLine) + " characters", out);
      break;
    }
    HandleRecord(line, out);
    if (phase_ != Phase::Receiving || flowControl) continue;
    // Programming the record: without the host stopping on CTS the UART overruns.
    std::size_t next = i + 1;
    if (next < n && c == '\r' && data[next] == '\n') ++next;
    if (next < n) {
      Log("fault", "overrun while programming: " + std::to_string(n - next) + " bytes lost (no CTS flow control)");
      break;
    }
  }
}

void BasicLoader::HandleRecord(const std::string& line, std::vector<std::uint8_t>& out) {
  if (config_.fault != BasicFaultKind::None && records_ == config_.faultRecord) {
    switch (config_.fault) {
      case BasicFaultKind::Defect:
        Defect("injected", out);
        return;
      case BasicFaultKind::Silence:
        Log("fault", "injected silence at record " + std::to_string(records_));
        phase_ = Phase::Silent;
        return;
      case BasicFaultKind::Abort:
        Log("fault", "injected abort at record " + std::to_string(records_));
        phase_ = Phase::Aborted;
        return;
      case BasicFaultKind::None:
        break;
    }
  }
  SRecord r;
  std::string why;
  if (!ParseSRecord(line, r, &why)) return Defect(why, out);
  switch (r.type) {
    case 0:
      Log("record", "header \"" + std::string(r.data.begin(), r.data.end()) + "\"");
      return;
    case 1: case 2: case 3: {
      std::uint64_t end = static_cast<std::uint64_t>(r.address) + r.data.size();
      if (r.address < config_.flashStart || (!r.data.empty() && end - 1 > config_.flashEnd))
        return Defect("address " + Hex(r.address, 6) + " outside the flash", out);
      for (std::size_t k = 0; k < r.data.size(); ++k) {
        auto [it, fresh] = memory_.emplace(r.address + static_cast<std::uint32_t>(k), r.data[k]);
        if (!fresh) it->second &= r.data[k];  // flash bits only clear
      }
      ++dataRecords_;
      return;
    }
    case 5: case 6:
      if (r.address != static_cast<std::uint32_t>(dataRecords_))
        return Defect("count record says " + std::to_string(r.address) + ", " + std::to_string(dataRecords_) +
                          " data records came", out);
      return;
    default:  // 7, 8, 9: the end
      entry_ = r.address;
      phase_ = Phase::Programmed;
      Log("loader", "programmed " + std::to_string(memory_.size()) + " bytes in " + std::to_string(dataRecords_) +
                        " records, entry " + Hex(entry_, 6));
      std::string flash = "(" + std::to_string(config_.segment + 1) + ")";
      switch (config_.success) {
        case BasicSuccess::Numbered: Say(out, "Flash-Memory " + flash + " programmed !"); break;
        case BasicSuccess::Plain: Say(out, "Flash-Memory programmed"); break;
        case BasicSuccess::Bytes: out.insert(out.end(), {0xA1, 0x48, 0x20, 0x14}); break;
      }
      return;
  }
}

}  // namespace sim
