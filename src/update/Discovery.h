#pragma once
// Firmware-file discovery in the program's folder at start-up: the DownloadList, the names of
// the (hidden) download list box and which programming menu entries become usable.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "update/Config.h"

namespace platform {
class MenuItem;
class ListBox;
}  // namespace platform

namespace update {

struct Discovery {
  static constexpr std::size_t kMaxFiles = 160;
  std::vector<std::string> downloadList;  // upper-case names in the order found
  std::vector<std::string> listBoxNames;  // each name up to its first '.'
  // The "&Programmieren" submenu: set by every "*.mot" file (the last one decides); nothing
  // when there is none, so the menu stays as built.
  std::optional<bool> programmingVisible;
  // Enable the four handheld device items / "Lab XXX" (never disables them).
  std::array<bool, 4> enableDevice{};
  bool enableLab = false;
  // Files beyond kMaxFiles are not listed; this says so.
  std::vector<std::string> warnings;
};

// Searches folder for "*.mot", "*.txt", "*.exe", "*.dll", "*.hex", "*.bin" in this order
// (names matched without regard to case, normal files only, sorted within a pattern). Names
// holding "EEP" are skipped, and for the patterns after "*.mot" also names holding "VERSION".
Discovery DiscoverFirmwareFiles(const std::string& folder, const DeviceTable& table);

// Applies the menu decisions and fills the list box (which is cleared first). Null pointers
// are skipped.
void ApplyDiscovery(const Discovery& d, platform::MenuItem* programming,
                    const std::array<platform::MenuItem*, 4>& devices, platform::MenuItem* lab,
                    platform::ListBox* listBox);

}  // namespace update
