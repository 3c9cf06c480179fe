#pragma once
// TI-TXT images in and out: "@" and a hexadecimal address, lines of hexadecimal byte values,
// "q" at the end. Used to preload the simulated flash and to dump it.
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// Calls put for every byte. False with a reason for text that is not TI-TXT.
bool ParseTiTxt(const std::string& text,
                const std::function<void(std::uint32_t, std::uint8_t)>& put, std::string* error);
// CR LF line ends, 16 values a line.
std::string FormatTiTxt(const std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>& runs);

}  // namespace sim
