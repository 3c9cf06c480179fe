#pragma once
// The command line of instrument-sim, parsed into an instrument configuration and what the
// program itself does (link, dump, log, exit).
#include <cstdint>
#include <string>
#include <vector>

#include "sim/Config.h"

namespace sim {

struct ProgramOptions {
  InstrumentConfig instrument;
  std::string firmwareFile;  // TI-TXT preloaded into the flash
  std::string link;          // symlink to the slave side
  std::string dumpFile;
  bool dumpBinary = false;  // raw main flash instead of TI-TXT
  std::string winceDir;   // files the receiver took, written under their names
  std::string uploadDir;  // files of the file-list upload, written under their names
  std::string basicDump;  // the Basic-Loader's memory
  bool basicDumpBinary = false;  // raw from flashStart instead of S-records
  std::string receivedFile;  // what the XMODEM loader received, raw
  std::string logFile;
  std::string traceFile;  // every chunk read from and written to the line, in microseconds
  bool exitAfterEnd = false;
  std::uint32_t endGraceMs = 8000;  // quiet time after an end command before exiting
  bool help = false;
  bool showVersion = false;  // -V, or --version without a value
  // --compare DUMP IMAGE: no instrument, only the check that a flash dump holds the image.
  std::string compareDump;
  std::string compareImage;
};

// False with a message for an unknown option or a bad value.
bool ParseOptions(const std::vector<std::string>& args, ProgramOptions& options, std::string& error);
std::string Usage();
// "1.10" -> 0x0110 (the loader's own notation, printed with "%X.%2X").
bool ParseLoaderVersion(const std::string& text, std::uint16_t& version);

}  // namespace sim
