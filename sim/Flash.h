#pragma once
// The memory behind the classic loader: main flash in 512-byte segments, information memory,
// RAM and the loader ROM. Programming flash can only clear bits, as on the real part; only an
// erase brings bytes back to 0xFF.
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "sim/Config.h"

namespace sim {

class Flash {
 public:
  enum class Region { None, Ram, Rom, Info, Main };
  explicit Flash(const MemoryMap& map);

  const MemoryMap& Map() const { return map_; }
  Region RegionOf(std::uint32_t address) const;
  bool IsFlash(std::uint32_t address) const;

  // Unmapped addresses read 0x00; unwritten flash reads 0xFF.
  std::uint8_t Read(std::uint32_t address) const;
  // A write through the loader: flash gets old AND new, RAM the value, the rest nothing.
  void Program(std::uint32_t address, std::uint8_t value);
  // Sets any mapped byte directly (preloaded firmware, the loader ROM).
  void Load(std::uint32_t address, std::uint8_t value);

  // Erases the segment holding the address; false when the address is not in flash.
  bool EraseSegment(std::uint32_t address);
  void EraseMain();
  void EraseInfo();

  // Flash bytes that are not 0xFF, by address.
  std::map<std::uint32_t, std::uint8_t> Programmed() const;
  // The same as runs of consecutive addresses.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> Runs() const;
  std::uint32_t Top() const { return top_; }

 private:
  MemoryMap map_;
  std::uint32_t top_;  // highest mapped address
  std::vector<std::uint8_t> bytes_;
};

}  // namespace sim
