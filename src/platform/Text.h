#pragma once
// Texts inside the system are single-byte Windows-1252 strings; the toolkit and the
// console speak UTF-8 (or UTF-16). These converters are the only crossing points.
#include <string>
#include <string_view>

namespace platform {

// Windows-1252 bytes to UTF-8. Bytes that Windows-1252 leaves undefined map to U+FFFD.
std::string Cp1252ToUtf8(std::string_view text);
// UTF-8 to Windows-1252; characters without a Windows-1252 form become '?'.
std::string Utf8ToCp1252(std::string_view text);
// Letters a to z and A to Z only: the case rule for package file names and keys.
char UpperAscii(char c);
char LowerAscii(char c);
std::string UpperAscii(std::string text);
bool EqualNoCaseAscii(std::string_view a, std::string_view b);

// One Unicode code point appended as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

// One Windows-1252 byte as a Unicode code point.
char32_t Cp1252ToCodePoint(unsigned char byte);
// A Unicode code point as a Windows-1252 byte, or -1 when it has none.
int CodePointToCp1252(char32_t cp);

}  // namespace platform
