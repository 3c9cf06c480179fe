#include "ScriptedLine.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fuzz {

std::string PackageFolder() {
  static const std::string folder = [] {
    std::string f = (std::filesystem::temp_directory_path() / ("fuzzpkg-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(f);
    return f;
  }();
  return folder;
}

void WriteFile(const std::string& folder, const std::string& name, const std::string& bytes) {
  std::ofstream(folder + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace fuzz
