#pragma once
// The two configuration files of an update package: "Update.ini" (the tool's own settings,
// rewritten on a language change) and "ProgDevice.ini" (the instrument table and the
// configured start and abort texts). Both are key=value line lists read once at start-up.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace update {

// One instrument type of "ProgDevice.ini". Texts are Windows-1252 and are cut to their
// capacity (bytes including the terminating NUL of the original tables) minus one.
struct DeviceRow {
  static constexpr std::size_t kDeviceNrCap = 12, kNameCap = 32, kProgFile1Cap = 32,
                               kProgFileCap = 512, kMarkerCap = 64, kFlashEraseCap = 12,
                               kProgDefFileCap = 32;
  std::string deviceNrDef;   // ".000" appended to a 5-character value
  std::string deviceNr;      // likewise
  std::string deviceName;
  std::string progFile1;     // upper case
  std::string progFile2;     // upper case; comma-separated list
  std::string progFile3;     // upper case; comma-separated list
  std::string swKenn1;       // "\r\n" written in the file becomes CR LF and ends the value
  std::string swKenn2;
  std::string swKenn3;
  std::string bootLoadKenn;
  std::string flashErase1;
  std::string flashErase2;
  std::string flashErase3;
  std::string progDefFile;   // upper case
  std::int32_t prozTyp = 0;  // read as hexadecimal
};

// At most kMaxRows rows, in file order; rows beyond are not stored (with a warning).
struct DeviceTable {
  static constexpr std::size_t kMaxRows = 255;
  std::vector<DeviceRow> rows;
  std::size_t Count() const { return rows.size(); }
  // ProgFile2 of row i; empty for rows that do not exist.
  const std::string& ProgFile2(std::size_t i) const;
};

// Baud-rate ordinals (0 = 1200 .. 5 = 38400) in the order the search tries them.
struct BaudList {
  static constexpr std::size_t kMax = 16;
  std::vector<std::int32_t> items;
  std::size_t Count() const { return items.size(); }
};

// The four texts of the 4-line block; placeholders are expanded when shown.
struct ConfiguredTexts {
  static constexpr std::size_t kCap = 800;
  std::string starttextD, starttextE, abbruchtextD, abbruchtextE;
  const std::string& StartText(std::int32_t language) const {
    return language == 1 ? starttextE : starttextD;
  }
  const std::string& AbortText(std::int32_t language) const {
    return language == 1 ? abbruchtextE : abbruchtextD;
  }
};

// The settings of "Update.ini".
struct UpdateIni {
  std::int32_t language = 0;  // 0 German, 1 English; any other value reads as 0
  std::string version;        // the tool's version text
  BaudList baud;              // the default list when the key is empty
  bool singlePortMode = false;
  std::int32_t fixedPort = 0;  // Com value minus one; -1 when Com holds no number
  bool noVersionTest = false;  // Exception contains "NOVERSIONTEST"
  std::vector<std::string> warnings;  // limits that cut the file's content
};

// What "ProgDevice.ini" gives, with the values derived after the whole file is read.
struct ProgDevice {
  DeviceTable table;
  ConfiguredTexts texts;
  std::int32_t startMode = 0;     // from the last row's DevStartCmd; the configured mode
  bool closeForHintMark = false;  // some row's DevStartCmd is 6
  std::int32_t fileType = 0;      // start-up FileType from row 0's ProgFile2
  std::vector<std::string> warnings;
};

// ---- key=value lines ----

// The value after the first '=' of the first line whose key (text before that '=') equals
// key without regard to case; lines without '=' never match. Empty when none does.
std::string LookupValue(const std::vector<std::string>& lines, std::string_view key);

// ---- conversions ----

// "Language": first character minus '0'; anything but 0 or 1 (also an empty value) gives 0.
std::int32_t ParseLanguage(std::string_view value);
// "Baud": comma-separated decimal ordinals, each read up to its first non-digit (leading
// blanks skipped; no digit gives 0). Items holding only blanks are skipped. Empty value (or
// no item): the default 2, 3, 4, 1, 0. Items beyond 16 are ignored (warning set).
BaudList ParseBaudList(std::string_view value, bool* cut = nullptr);
// DevStartCmd digit -> StartMode 0..4; closeForHint set for the digit 6. A value whose
// first character is not 1..9 gives 0.
std::int32_t ParseStartMode(std::string_view value, bool* closeForHint);
// Hexadecimal up to the first non-hex character, optional blanks and "0x" in front, at most
// 8 digits read (a 32-bit value); no digit gives 0.
std::int32_t ParseHex(std::string_view value);
// Start-up FileType of a program file list: ".TXT" 1, ".EXE" 2, ".HEX" 3, OR-combined.
std::int32_t StartupFileType(std::string_view progFile2);

// ---- parsing from line lists ----
UpdateIni ParseUpdateIni(const std::vector<std::string>& lines);
ProgDevice ParseProgDevice(const std::vector<std::string>& lines);

// ---- the files ----

// The writable folder for "Update.ini": when the working folder lies below the expansion of
// "%ProgramFiles%", the same relative folder below the expansion of "%PUBLIC%", created with
// its parents when missing. Empty when the working folder is not below Program Files (or the
// mirror cannot be expanded or created).
std::string ConfigFolder();
// The pure rule: cwd below programFiles (at a folder boundary) -> publicRoot + the rest.
std::string MirrorFolderFor(const std::string& cwd, const std::string& programFiles,
                            const std::string& publicRoot);
// ConfigFolder() + "/" + fileName, or the plain file name when there is no ConfigFolder.
std::string UpdateIniPath(const std::string& fileName);

inline constexpr const char* kUpdateIniMissing =
    "Konfigurationsdatei 1 nicht vorhanden!!Programm wird beendet";
inline constexpr const char* kProgDeviceMissing =
    "Konfigurationsdatei 2 nicht vorhanden!!Programm wird beendet";

// Reads "Update.ini" from the ConfigFolder, else from the working folder. 0, or -1 after the
// error box (caption "Error", error icon, OK) when neither can be read.
int ReadUpdateIni(const std::string& fileName, UpdateIni& out);
// The same file read the same way, without the error box: for a caller that must know the
// settings before the window starts. Nothing when it cannot be read.
std::optional<UpdateIni> PeekUpdateIni(const std::string& fileName);
// Reads "ProgDevice.ini" from the working folder. 0, or -1 after the error box.
int ReadProgDevice(const std::string& fileName, ProgDevice& out);
// Rewrites "Update.ini" as exactly five lines (Language, Version, Baud, Com, Exception) with
// the given language and version text, into the ConfigFolder when there is one (else the
// working folder), in the encoding it was read in. False when it could not be read (after
// the error box) or written (after an error box naming the file).
bool SaveLanguage(const std::string& fileName, std::int32_t language, const std::string& version);

// ProgDefFile of the first row whose ProzTyp equals processorType; rows the file does not
// fill count as ProzTyp 0 with an empty ProgDefFile, so an unknown type gives "".
std::string ProgDefFileFor(const DeviceTable& table, std::int32_t processorType);

}  // namespace update
