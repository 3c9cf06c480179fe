#pragma once
// Small helpers on the system's single-byte (Windows-1252) texts: search, insert and delete
// with 1-based positions (0 = not found), short hexadecimal numbers, and the byte-for-unit
// conversion to and from the toolkit's 16-bit texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kernel {

inline constexpr std::size_t npos = std::string::npos;

// 1-based position of the first occurrence of pattern that begins at or after position
// start (0 and 1 both search the whole text); 0 when text or pattern is empty, start lies
// past the text, or there is no occurrence. Bytes compare exactly.
std::size_t TextPos(std::string_view text, std::string_view pattern, std::size_t start);

// Inserts so that insert's first character lands at pos (1 to size + 1; size + 1 appends).
// capacity is the longest text the buffer may hold. A position outside that range or a
// result longer than capacity leaves buffer unchanged and gives false.
bool TextInsert(std::string_view insert, std::string& buffer, std::size_t pos,
                std::size_t capacity = npos);

// Removes count characters from pos on. The range must lie inside the text (count 0 is
// allowed at 1 to size + 1); otherwise buffer is unchanged and the result is false.
bool TextDelete(std::string& buffer, std::size_t pos, std::size_t count);

// A hexadecimal text of up to 4 characters, the last having weight 1, the one before 16,
// then 256 and 4096. A longer text is read by its first 4 characters (a number at the start
// of a longer field). Digit rule: c - '0' for c up to '9', else upper-case c - 55, so 0-9,
// A-F and a-f give their values; other characters are not rejected but converted by the
// same rule. Empty text gives 0.
std::int32_t HexToInt(std::string_view text);

// Each byte b becomes the unit b.
std::u16string AnsiToWide(std::string_view text);
// Each unit becomes its low byte.
std::string WideToAnsi(std::u16string_view text);

}  // namespace kernel
