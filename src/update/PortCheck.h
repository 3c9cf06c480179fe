#pragma once
// Why a port cannot be used, in the user's words: the port that does not exist, the port the
// user may not open (with the group that owns it and how to join it), the port another
// program holds (with that program when the system tells).
#include <cstdint>
#include <string>

#include "platform/SerialDevice.h"

namespace update {

// The log line for COM<com> that could not be opened with result r; language 0 German, 1 English.
std::string PortProblemText(std::int32_t language, int com, const platform::SerialOpenResult& r);

}  // namespace update
