#include "update/VersionMarkers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <optional>

#include "platform/Application.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace update {

using namespace procedure;


namespace {

constexpr std::size_t kTextArea = 1000;     // head of a text image, tail of an S-record file
constexpr std::size_t kProgramArea = 64000; // tail of a program or library file
constexpr std::size_t kBinArea = 250000;    // tail of a binary image
constexpr std::size_t kMaxVersion = DeviceRecord::kVersionCap - 1;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of [offset, offset + count) of the file; nothing when it cannot be opened
// (opened false) or read.
std::optional<std::string> ReadRegion(const std::string& path, std::uint64_t offset,
                                      std::size_t count, bool& opened) {
  std::ifstream in(path, std::ios::binary);
  opened = static_cast<bool>(in);
  if (!opened) return std::nullopt;
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return std::nullopt;
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  if (in.bad() || static_cast<std::size_t>(in.gcount()) != count) return std::nullopt;
  return bytes;
}

// The text from at up to the next NUL (or the end), at most kMaxVersion characters.
std::string CText(std::string_view bytes, std::size_t at) {
  if (at >= bytes.size()) return {};
  std::string_view rest = bytes.substr(at);
  rest = rest.substr(0, rest.find('\0'));
  return std::string(rest.substr(0, kMaxVersion));
}

// A UTF-16 unit as a Windows-1252 byte; '?' for units without one.
char NarrowUnit(char16_t unit) {
  const int b = platform::CodePointToCp1252(unit);
  return b < 0 ? '?' : static_cast<char>(b);
}

// The NUL-terminated UTF-16 string at unit index at, narrowed; end receives the index of its
// terminator (or the unit count when the string runs to the end).
std::string WideString(const std::u16string& units, std::size_t at, std::size_t* end = nullptr) {
  std::string text;
  std::size_t i = at;
  for (; i < units.size() && units[i] != 0; ++i) text += NarrowUnit(units[i]);
  if (end) *end = i;
  return text;
}

// Program and library files: the version resource's strings are UTF-16. The first string
// that contains the marker holds the version after its first blank, or else is a resource
// key whose value starts two units behind the key's terminator (the padding between them)
// and carries one leading character before the version.
std::string ScanProgramStrings(std::string_view bytes, std::string_view marker) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  std::size_t at = 0;
  while (at < units.size()) {
    std::size_t end = 0;
    const std::string text = WideString(units, at, &end);
    if (text.find(marker) != std::string::npos) {
      const std::size_t blank = text.find(' ');
      if (blank != std::string::npos) return text.substr(blank + 1, kMaxVersion);
      const std::string value = WideString(units, end + 2);
      return value.empty() ? std::string() : value.substr(1, kMaxVersion);
    }
    at = end + 1;
  }
  return {};
}

// Binary images: the text after the marker (three further bytes skipped when the marker
// starts with 0xDD).
std::string ScanBinary(std::string_view bytes, std::string_view marker) {
  const std::size_t hit = bytes.find(marker);
  if (hit == std::string_view::npos) return {};
  const std::size_t skip = static_cast<unsigned char>(marker[0]) == 0xDD ? 4 : 1;
  return CText(bytes, hit + marker.size() + skip);
}

void ShowReadError(const std::string& fileName, bool opened) {
  if (!platform::HasApp()) return;
  const std::string text = opened ? "Error reading file \"" + fileName + "\"."
                                  : "Cannot open file \"" + fileName + "\".";
  platform::App().MessageBox(text, "Error", platform::BoxIcon::Error, platform::BoxButtons::Ok);
}

void Store(DeviceRecord& record, const std::string& version, bool second) {
  if (second) {
    StoreText(record.packageSecondVersion, version, DeviceRecord::kVersionCap);
    record.packageSecondVersionNumber = VersionNumber(record.packageSecondVersion);
  } else {
    StoreText(record.packageVersion, version, DeviceRecord::kVersionCap);
    record.packageVersionNumber = VersionNumber(record.packageVersion);
  }
}

}  // namespace

std::int32_t VersionNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  std::size_t end = i;
  bool point = false;
  bool digits = false;
  for (; end < text.size(); ++end) {
    const char c = text[end];
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!digits) return 0;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data() + i, text.data() + end, value,
                                         std::chars_format::fixed);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) return std::numeric_limits<std::int32_t>::max();
  if (ec != std::errc()) return 0;
  const double scaled = std::trunc(value * 1000.01);
  if (scaled >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(scaled);
}

int PackageFileKind(std::string_view marker, std::string_view fileName) {
  int kind = 0;
  if (marker.find("S1094000") != std::string_view::npos) kind += 1;
  if (fileName.find("EXE") != std::string_view::npos ||
      fileName.find("DLL") != std::string_view::npos) {
    kind += 2;
  }
  if (fileName.find("BIN") != std::string_view::npos) kind += 4;
  return kind;
}

std::string DecodeHexPairs(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  while (out.size() < kMaxVersion && i + 1 < text.size()) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) break;
    const int value = hi * 16 + lo;
    if (value == 0) break;
    out += static_cast<char>(value);
    i += 2;
    while (i < text.size() && text[i] == ' ') ++i;
  }
  return out;
}

std::string ReadPackageVersion(std::string_view marker, const std::string& fileName,
                               DeviceRecord& record, const std::string& folder) {
  const int kind = PackageFileKind(marker, fileName);

  const std::optional<std::string> path = platform::files::Resolve(folder, fileName);
  const std::int64_t size = path ? platform::files::FileSize(*path) : -1;
  if (!path || size < 0 || !platform::files::IsFile(*path)) {
    ShowReadError(fileName, false);
    return "0";
  }
  const auto fileSize = static_cast<std::uint64_t>(size);

  // The region that this kind of file keeps its version in; a file smaller than the region
  // is read whole.
  std::uint64_t offset = 0;
  std::size_t count = 0;
  switch (kind) {
    case 0:
      count = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kTextArea));
      break;
    case 1:
    case 2:
    case 4: {
      const std::size_t area = kind == 1 ? kTextArea : kind == 2 ? kProgramArea : kBinArea;
      count = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, area));
      offset = fileSize - count;
      // UTF-16 strings of a program lie at even file offsets.
      if (kind == 2 && offset % 2 != 0) {
        ++offset;
        --count;
      }
      break;
    }
    default:
      return {};  // no region belongs to this combination
  }

  bool opened = false;
  const std::optional<std::string> bytes = ReadRegion(*path, offset, count, opened);
  if (!bytes) {
    ShowReadError(fileName, opened);
    return "0";
  }

  std::string version;
  if (!marker.empty()) {
    if (kind == 2) {
      version = ScanProgramStrings(*bytes, marker);
    } else {
      if (kind == 4) version = ScanBinary(*bytes, marker);
      // Text images and S-records carry the version as hexadecimal data bytes right after
      // the marker, before the first NUL of what was read.
      const std::string_view text = std::string_view(*bytes).substr(0, bytes->find('\0'));
      const std::size_t hit = text.find(marker);
      if (hit != std::string_view::npos) version = DecodeHexPairs(text.substr(hit + marker.size()));
    }
  }

  const bool second = kind == 1 || !record.packageVersion.empty();
  Store(record, version, second);
  return version;
}

}  // namespace update
