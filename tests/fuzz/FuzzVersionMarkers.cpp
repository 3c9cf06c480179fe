// The package version markers: a package file of each kind (text image, S-record file,
// program or library with UTF-16 version strings, binary image) with a marker the input
// brings, read the way the check reads it; and the version texts turned into numbers.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "procedure/DeviceRecord.h"
#include "update/VersionMarkers.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    std::string f = (std::filesystem::temp_directory_path() / ("fuzzmark-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(f);
    return f;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  // The file name decides where the version is looked for; "S1094000" in the marker makes
  // an S-record file's tail the place.
  static const char* const kNames[] = {"FW_TEST.TXT", "LOADER.EXE", "LOADER.DLL", "FW_TEST.BIN", "FW.MOT", "EXEBIN.BIN"};
  const std::string name = kNames[data.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
  std::string marker = data.ConsumeRandomLengthString(24);
  if (data.ConsumeBool()) marker = "S1094000" + marker;
  const bool secondFile = data.ConsumeBool();
  const std::string file = data.ConsumeRemainingBytesAsString();
  {
    std::ofstream out(Folder() + "/" + name, std::ios::binary | std::ios::trunc);
    out << file;
  }
  procedure::DeviceRecord record;
  if (secondFile) record.packageVersion = "1.00";
  const std::string version = update::ReadPackageVersion(marker, name, record, Folder());
  if (version.size() >= procedure::DeviceRecord::kVersionCap) std::abort();
  if (record.packageVersion.size() >= procedure::DeviceRecord::kVersionCap) std::abort();
  if (record.packageSecondVersion.size() >= procedure::DeviceRecord::kVersionCap) std::abort();
  (void)update::VersionNumber(version);
  (void)update::VersionNumber(marker);
  (void)update::DecodeHexPairs(marker);
  return 0;
}
