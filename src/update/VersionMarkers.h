#pragma once
// Reading the firmware version that a package offers out of its files: a marker text stands
// right in front of the version, in the part of the file where that kind of file keeps it.
#include <cstdint>
#include <string>
#include <string_view>

#include "procedure/DeviceRecord.h"

namespace update {

// A version text as a number: its leading decimal number (blanks skipped, digits with an
// optional decimal point) times 1000.01, truncated; no leading number gives 0. "1.23" gives
// 1230, "1.23,2.05" 1230, "X.XX" 0. Clamped to the 32-bit range.
std::int32_t VersionNumber(std::string_view text);

// Where a file keeps its version, as a sum of flags: 1 marker contains "S1094000" (S-record
// tail), 2 name contains "EXE" or "DLL" (UTF-16 strings of a program's version resource),
// 4 name contains "BIN" (binary image tail); 0 none (head of a text image). Other sums are
// combinations that read nothing.
int PackageFileKind(std::string_view marker, std::string_view fileName);

// Decodes hexadecimal byte pairs ("31 2E 32 33 00" or "312E323300") into text until a pair
// "00", a character that is not a pair, the end of the text or 15 characters.
std::string DecodeHexPairs(std::string_view text);

// Finds the version behind marker in the package file fileName (resolved within folder
// without regard to case; the current folder when folder is empty), stores it into the
// record as package version (or, when that is already set or for the S-record kind, as
// package second version) with its VersionNumber, and returns it. A marker that is not found
// gives and stores an empty text; an empty marker is never found. Kinds that read nothing
// return an empty text and store nothing. A file that cannot be opened or read gives "0",
// stores nothing and, when an application exists, shows an error box naming the file.
std::string ReadPackageVersion(std::string_view marker, const std::string& fileName,
                               procedure::DeviceRecord& record, const std::string& folder = {});

}  // namespace update
