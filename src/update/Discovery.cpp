#include "update/Discovery.h"

#include "platform/Text.h"

#include "platform/Components.h"
#include "platform/Files.h"

namespace update {
namespace {

std::string Upper(std::string text) { return platform::UpperAscii(std::move(text)); }

// An empty ProgFile2 (a row that does not exist) matches nothing.
bool Holds(const std::string& name, const std::string& part) {
  return !part.empty() && name.find(part) != std::string::npos;
}

}  // namespace

Discovery DiscoverFirmwareFiles(const std::string& folder, const DeviceTable& table) {
  Discovery d;
  bool full = false;
  auto add = [&](const std::string& name) {
    if (d.downloadList.size() >= Discovery::kMaxFiles) {
      full = true;
      return false;
    }
    d.downloadList.push_back(name);
    d.listBoxNames.push_back(name.substr(0, name.find('.')));
    return true;
  };
  for (const char* pattern : {"*.mot", "*.txt", "*.exe", "*.dll", "*.hex", "*.bin"}) {
    bool mot = pattern[2] == 'm';
    for (const auto& found : platform::files::FindFiles(folder, pattern)) {
      std::string name = Upper(found);
      if (Holds(name, "EEP")) continue;
      if (!mot && Holds(name, "VERSION")) continue;
      if (!add(name)) continue;
      if (mot) {
        d.programmingVisible = Holds(name, table.ProgFile2(0));
        for (std::size_t i = 0; i < 4; ++i)
          if (Holds(name, table.ProgFile2(i))) d.enableDevice[i] = true;
      } else {
        for (std::size_t i = 0; i < 4; ++i)
          if (Holds(name, table.ProgFile2(i))) d.enableLab = true;
      }
    }
  }
  if (full)
    d.warnings.push_back("Only the first " + std::to_string(Discovery::kMaxFiles) +
                         " firmware files are listed");
  return d;
}

void ApplyDiscovery(const Discovery& d, platform::MenuItem* programming,
                    const std::array<platform::MenuItem*, 4>& devices, platform::MenuItem* lab,
                    platform::ListBox* listBox) {
  if (programming && d.programmingVisible) programming->SetVisible(*d.programmingVisible);
  for (std::size_t i = 0; i < 4; ++i)
    if (devices[i] && d.enableDevice[i]) devices[i]->SetEnabled(true);
  if (lab && d.enableLab) lab->SetEnabled(true);
  if (listBox) {
    listBox->Clear();
    for (const auto& n : d.listBoxNames) listBox->Add(n);
  }
}

}  // namespace update
