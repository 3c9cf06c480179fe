#pragma once
// TI-TXT images for tests and what they put at each address.
#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

// A TI-TXT image whose head carries the marker "VERS:" and the version, some code, and the
// vector table (the classic loader's password) with the reset vector 0x3100.
std::string TiTxtWithVersion(const std::string& version, unsigned codeBytes = 64,
                             unsigned address = 0x3100);

// The bytes a TI-TXT text puts at each address.
std::map<std::uint32_t, std::uint8_t> ParseTiTxt(const std::string& text);

}  // namespace testsupport
