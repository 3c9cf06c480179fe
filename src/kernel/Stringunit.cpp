#include "kernel/Stringunit.h"

namespace kernel {

std::size_t TextPos(std::string_view text, std::string_view pattern, std::size_t start) {
  if (text.empty() || pattern.empty()) return 0;
  const std::size_t from = start <= 1 ? 0 : start - 1;
  if (from >= text.size()) return 0;
  const std::size_t at = text.find(pattern, from);
  return at == std::string_view::npos ? 0 : at + 1;
}

bool TextInsert(std::string_view insert, std::string& buffer, std::size_t pos,
                std::size_t capacity) {
  if (pos < 1 || pos > buffer.size() + 1) return false;
  if (insert.size() > capacity || buffer.size() > capacity - insert.size()) return false;
  buffer.insert(pos - 1, insert);
  return true;
}

bool TextDelete(std::string& buffer, std::size_t pos, std::size_t count) {
  if (pos < 1 || pos > buffer.size() + 1) return false;
  if (count > buffer.size() - (pos - 1)) return false;
  buffer.erase(pos - 1, count);
  return true;
}

std::int32_t HexToInt(std::string_view text) {
  if (text.size() > 4) text = text.substr(0, 4);
  std::int32_t value = 0;
  for (char ch : text) {
    const int c = static_cast<unsigned char>(ch);
    int digit;
    if (c <= '9') {
      digit = c - '0';
    } else {
      const int upper = (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
      digit = upper - 55;
    }
    value = value * 16 + digit;
  }
  return value;
}

std::u16string AnsiToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char ch : text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(ch)));
  return out;
}

std::string WideToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t u : text) out.push_back(static_cast<char>(u & 0xFF));
  return out;
}

}  // namespace kernel
