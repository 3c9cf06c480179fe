#include "procedure/Procedure.h"

namespace procedure {

std::string RepeatTrace(const std::string& step, const char* why, std::size_t repeat, std::size_t limit) {
  std::string line = step + " " + why + ", ";
  if (repeat == 0) return line + "run failed";
  return line + "repeat " + std::to_string(repeat) + "/" + std::to_string(limit);
}

}  // namespace procedure
