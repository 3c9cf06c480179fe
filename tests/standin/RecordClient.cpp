#include "RecordClient.h"

#include <fstream>

namespace standin {

namespace {
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
}  // namespace

OpenResult OpenPort(int comNumber, unsigned baud, std::unique_ptr<platform::SerialDevice>& device) {
  platform::SerialOpenResult r = platform::OpenSerialDevice(comNumber);
  if (!r.device) return r.error == platform::SerialOpenError::Busy ? OpenResult::Busy : OpenResult::Missing;
  platform::LineSettings s;
  s.baud = baud;
  r.device->ApplySettings(s);
  platform::LineTimeouts t;
  t.readInterval = 0;
  t.readMultiplier = 0;
  t.readConstant = 3000;  // one answer byte per line
  t.writeConstant = 5000;
  r.device->ApplyTimeouts(t);
  r.device->Purge(platform::PurgeRxClear | platform::PurgeTxClear);
  device = std::move(r.device);
  return OpenResult::Ok;
}

bool ReadRecords(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return true;
}

bool IsEndRecord(const std::string& line) {
  if (line.size() >= 9 && line[0] == ':') return line.compare(7, 2, "01") == 0;
  return line.size() >= 2 && (line[0] == 'S' || line[0] == 's') && line[1] >= '7' && line[1] <= '9';
}

bool SendLine(platform::SerialDevice& device, const std::string& line) {
  const std::string bytes = line + "\r\n";
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (device.Write(bytes.data(), bytes.size()) != static_cast<long>(bytes.size())) return false;
    unsigned char answer = 0;
    if (device.Read(&answer, 1) != 1) return false;
    if (answer == kAck) return true;
    if (answer != kNak) return false;
  }
  return false;
}

bool SendImage(platform::SerialDevice& device, const std::vector<std::string>& lines, bool withEnd,
               const std::function<void(int percent)>& progress, std::string* error) {
  if (!SendLine(device, "E")) {
    if (error) *error = "erase not acknowledged";
    return false;
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!withEnd && IsEndRecord(lines[i])) continue;
    if (!SendLine(device, lines[i])) {
      if (error) *error = "record " + std::to_string(i + 1) + " not acknowledged";
      return false;
    }
    if (progress) progress(static_cast<int>((i + 1) * 100 / lines.size()));
  }
  return true;
}

void LogTo(const char* variable, const std::string& line) {
  const char* path = std::getenv(variable);
  if (!path || !*path) return;
  std::ofstream out(path, std::ios::app);
  out << line << '\n';
}

}  // namespace standin
