#pragma once
// The session's record of the identified instrument and the chosen package row. Cleared at
// the start of every session; every programming procedure gets a pointer to it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace procedure {

// How the package wants the instrument approached (the package's DevStartCmd digit minus one).
enum class StartModeTag : std::int32_t {
  Normal = 0,        // search probe "A.1111"
  CommandMode = 1,   // search probe "A.1000": the instrument is then already in command mode
  Sensor = 2,        // a digital sensor behind the instrument
  SensorUpdate = 3,  // a digital sensor's own software; a passed check turns it into Sensor
  Normal4 = 4,       // as Normal; the read-me of the meters
};

// What the first program file calls for, by its extensions (".TXT" 1, ".EXE" 2, ".HEX" 3,
// ".BIN" 4, ORed together as the package names them).
enum class FileTypeTag : std::int32_t {
  Other = 0,  // the Basic-Loader terminal or an external loader
  Txt = 1,    // a bootstrap loader (classic or 5xx)
  Exe = 2,    // Windows CE
  Hex = 3,    // the PIC32 loader
  Bin = 4,    // the serial boot loader (XMODEM-CRC)
};

struct DeviceRecord {
  // Text capacities in bytes including the terminating NUL of the instrument's own tables;
  // longer texts are cut to capacity - 1 where they are stored (StoreText).
  static constexpr std::size_t kPcbCap = 20, kDeviceNrCap = 20, kVersionCap = 16, kFileCap = 255,
                               kFileListMax = 200, kSerialCap = 40, kNameCap = 120, kMarkerCap = 64,
                               kBootIdCap = 80, kDefFileCap = 256;

  std::int32_t processorType = 0;
  std::string pcbNumber;
  std::string deviceNumber;
  std::string softwareVersion;
  std::string packageVersion;
  std::string packageSecondVersion;
  std::int32_t deviceVersion = 0;         // D
  std::int32_t packageVersionNumber = 0;  // P
  std::int32_t deviceSecondVersion = 0;   // Ds
  std::int32_t packageSecondVersionNumber = 0;  // Ps
  std::int32_t deviceStartupVersion = 0;  // Dt
  std::int32_t packageStartupVersion = 0; // Pt
  std::string firstProgramFile;
  std::string secondProgramFile;
  std::string furtherVersionFile;
  std::vector<std::string> fileList;      // at most kFileListMax; its size is the file count
  std::string serialNumber;
  std::string deviceName;
  char bootCharacter = 0;
  std::array<std::string, 3> versionMarkers;
  std::string bootLoaderMarker;
  std::string bootLoaderId;
  bool laboratoryFlag = false;
  bool noSensorFlag = false;
  bool firstFileAtFlag = false;
  bool secondFileAtFlag = false;
  std::array<std::int32_t, 3> flashErase{};
  std::string definitionFile;
  std::int32_t loaderVectorWord = 0;
  bool loaderVectorKnown = false;

  void Clear() { *this = DeviceRecord{}; }
  std::size_t FileCount() const { return fileList.size(); }
};

// Stores text into a field of the given capacity (NUL included), cutting what does not fit.
inline void StoreText(std::string& field, std::string_view text, std::size_t capacity) {
  field.assign(text.substr(0, capacity ? capacity - 1 : 0));
}

}  // namespace procedure
