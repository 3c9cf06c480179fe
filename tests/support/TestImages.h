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

// The firmware of an instrument with the 5xx loader (MSP430F5438A): "VERS:" and the version
// at 0x5C00 followed by code, optionally a section of upperBytes at 0x10000, and the vector
// table 0xFFE0..0xFFFF with fifteen unprogrammed words and the reset vector. The code bytes
// depend on the version, so two versions differ in every block.
std::string TiTxt5xx(const std::string& version, unsigned codeBytes = 400, unsigned upperBytes = 0,
                     std::uint16_t resetVector = 0x5C00);

// The bytes a TI-TXT text puts at each address.
std::map<std::uint32_t, std::uint8_t> ParseTiTxt(const std::string& text);

}  // namespace testsupport
