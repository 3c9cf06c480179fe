#include "sim/Flash.h"

#include <algorithm>

namespace sim {

namespace {
bool In(std::uint32_t a, std::uint32_t lo, std::uint32_t hi) { return a >= lo && a <= hi; }
}  // namespace

Flash::Flash(const MemoryMap& map) : map_(map) {
  top_ = std::max({map_.mainEnd, map_.infoEnd, map_.ramEnd, map_.romEnd});
  // Bound the model: no MSP430 of the classic loader's families has more than 1 MB.
  if (top_ > 0xFFFFF) top_ = 0xFFFFF;
  if (map_.infoSegment == 0) map_.infoSegment = 128;
  bytes_.assign(static_cast<std::size_t>(top_) + 1, 0x00);
  for (std::uint32_t a = 0; a <= top_; ++a)
    if (IsFlash(a)) bytes_[a] = 0xFF;
}

Flash::Region Flash::RegionOf(std::uint32_t a) const {
  if (a > top_) return Region::None;
  if (In(a, map_.mainStart, map_.mainEnd)) return Region::Main;
  if (In(a, map_.infoStart, map_.infoEnd)) return Region::Info;
  if (In(a, map_.ramStart, map_.ramEnd)) return Region::Ram;
  if (In(a, map_.romStart, map_.romEnd)) return Region::Rom;
  return Region::None;
}

bool Flash::IsFlash(std::uint32_t a) const {
  Region r = RegionOf(a);
  return r == Region::Main || r == Region::Info;
}

std::uint8_t Flash::Read(std::uint32_t a) const {
  return RegionOf(a) == Region::None ? 0x00 : bytes_[a];
}

void Flash::Program(std::uint32_t a, std::uint8_t v) {
  switch (RegionOf(a)) {
    case Region::Main:
    case Region::Info: bytes_[a] &= v; break;
    case Region::Ram: bytes_[a] = v; break;
    default: break;
  }
}

void Flash::Load(std::uint32_t a, std::uint8_t v) {
  if (RegionOf(a) != Region::None) bytes_[a] = v;
}

bool Flash::EraseSegment(std::uint32_t a) {
  std::uint32_t lo, hi;
  switch (RegionOf(a)) {
    case Region::Main:
      lo = std::max(a & ~0x1FFu, map_.mainStart);
      hi = std::min((a & ~0x1FFu) + 0x1FF, map_.mainEnd);
      break;
    case Region::Info: {
      std::uint32_t seg = map_.infoSegment;
      std::uint32_t base = map_.infoStart + (a - map_.infoStart) / seg * seg;
      lo = base;
      hi = std::min(base + seg - 1, map_.infoEnd);
      break;
    }
    default: return false;
  }
  std::fill(bytes_.begin() + lo, bytes_.begin() + hi + 1, 0xFF);
  return true;
}

void Flash::EraseMain() {
  std::fill(bytes_.begin() + map_.mainStart, bytes_.begin() + std::min(map_.mainEnd, top_) + 1, 0xFF);
}

void Flash::EraseInfo() {
  std::fill(bytes_.begin() + map_.infoStart, bytes_.begin() + std::min(map_.infoEnd, top_) + 1, 0xFF);
}

std::map<std::uint32_t, std::uint8_t> Flash::Programmed() const {
  std::map<std::uint32_t, std::uint8_t> out;
  for (std::uint32_t a = 0; a <= top_; ++a)
    if (IsFlash(a) && bytes_[a] != 0xFF) out.emplace(a, bytes_[a]);
  return out;
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Flash::Runs() const {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> runs;
  std::uint32_t next = 0;
  for (const auto& [a, v] : Programmed()) {
    if (runs.empty() || a != next) runs.push_back({a, {}});
    runs.back().second.push_back(v);
    next = a + 1;
  }
  return runs;
}

}  // namespace sim
