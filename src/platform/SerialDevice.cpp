// The COM port map: COM numbers to loopback peers, to the paths of UPDATE_COM_PORTS, or to
// the serial devices that exist, numbered in the order ttyUSB, ttyACM, ttyS.
#include "platform/SerialDevice.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/SerialLoopback.h"
#include "platform/SerialTermios.h"

namespace platform {

SerialDevice::~SerialDevice() = default;

namespace {

std::mutex gMapMutex;
std::optional<std::string> gMapOverride;

constexpr int kMaxCom = 256;
constexpr const char* kLoopPrefix = "loop:";

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// COM number -> path from the map text; entries that do not parse are ignored.
std::map<int, std::string> ParseMap(const std::string& text) {
  std::map<int, std::string> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    std::string entry = Trim(text.substr(pos, comma == std::string::npos ? std::string::npos
                                                                          : comma - pos));
    pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
    std::size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    std::string num = Trim(entry.substr(0, eq));
    std::string path = Trim(entry.substr(eq + 1));
    if (path.empty() || num.empty() || num.size() > 3 ||
        !std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    int n = std::atoi(num.c_str());
    if (n < 1 || n > kMaxCom) continue;
    out[n] = path;
  }
  return out;
}

// The map without the loopback registrations by number.
std::map<int, std::string> BaseMap() {
  std::optional<std::string> text;
  {
    std::lock_guard lock(gMapMutex);
    text = gMapOverride;
  }
  if (!text) {
    if (const char* env = std::getenv("UPDATE_COM_PORTS")) text = std::string(env);
  }
  if (text) return ParseMap(*text);
  std::map<int, std::string> out;
  int n = 1;
  for (const std::string& path : detail::EnumerateSerialHardware()) {
    if (n > kMaxCom) break;
    out[n++] = path;
  }
  return out;
}

bool IsLoopPath(const std::string& path) { return path.rfind(kLoopPrefix, 0) == 0; }

}  // namespace

void SetSerialPortMap(std::optional<std::string> map) {
  std::lock_guard lock(gMapMutex);
  gMapOverride = std::move(map);
}

std::vector<std::pair<int, std::string>> SerialPortList() {
  std::map<int, std::string> all = BaseMap();
  std::vector<int> loops;
  detail::LoopbackPortsRegistered(loops);
  for (int n : loops)
    if (n >= 1 && n <= kMaxCom) all[n] = std::string(kLoopPrefix) + "COM" + std::to_string(n);
  return {all.begin(), all.end()};
}

std::string SerialDevicePath(int comNumber) {
  if (comNumber < 1 || comNumber > kMaxCom) return {};
  if (detail::LoopbackPortPeer(comNumber))
    return std::string(kLoopPrefix) + "COM" + std::to_string(comNumber);
  auto map = BaseMap();
  auto it = map.find(comNumber);
  return it == map.end() ? std::string() : it->second;
}

SerialOpenResult OpenSerialDevice(int comNumber) {
  SerialOpenResult r;
  if (comNumber < 1 || comNumber > kMaxCom) return r;
  if (LoopbackPeer* peer = detail::LoopbackPortPeer(comNumber))
    return detail::OpenLoopback(comNumber, SerialDevicePath(comNumber), peer);
  std::string path = SerialDevicePath(comNumber);
  r.path = path;
  if (path.empty()) return r;
  if (IsLoopPath(path)) {
    LoopbackPeer* peer = detail::LoopbackNamedPeer(path.substr(std::char_traits<char>::length(kLoopPrefix)));
    if (!peer) return r;
    return detail::OpenLoopback(comNumber, path, peer);
  }
  return detail::OpenTermios(comNumber, path);
}

SerialProbe ProbeSerialDevice(int comNumber) {
  if (comNumber < 1 || comNumber > kMaxCom) return SerialProbe::Missing;
  std::string path = SerialDevicePath(comNumber);
  if (path.empty()) return SerialProbe::Missing;
  LoopbackPeer* peer = detail::LoopbackPortPeer(comNumber);
  if (!peer && IsLoopPath(path))
    peer = detail::LoopbackNamedPeer(path.substr(std::char_traits<char>::length(kLoopPrefix)));
  if (peer) return detail::LoopbackInUse(peer) ? SerialProbe::Busy : SerialProbe::Usable;
  if (IsLoopPath(path)) return SerialProbe::Missing;
  return detail::ProbeTermios(path);
}

}  // namespace platform
