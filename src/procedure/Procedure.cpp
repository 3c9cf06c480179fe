#include "procedure/Procedure.h"

#include <cstdio>

namespace procedure {

std::string HexWord(std::uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

std::string RepeatTrace(const std::string& step, const char* why, std::size_t repeat, std::size_t limit) {
  std::string line = step + " " + why + ", ";
  if (repeat == 0) return line + "run failed";
  return line + "repeat " + std::to_string(repeat) + "/" + std::to_string(limit);
}

}  // namespace procedure
