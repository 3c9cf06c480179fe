// A stand-in for the packages' loader programs ("HEXLoad_8N1", "PIC32_Serial_Bootloader"), for
// tests and the demo. It checks that its arguments are exactly one of the two command lines,
// opens the port of its COM number exclusively (so it fails while the tool still holds it)
// and programs the simulated instrument's record loader.
//
//   HEXLoad_8N1 FILE -comN -baudrateB -auto -exit
//   PIC32_Serial_Bootloader -fFILE -cC -b7 -a        (C: '1' for COM1 ... ':' for COM10)
//
// STANDIN_LOG names a file that gets two lines per run, "<ms> run <arguments>" and
// "<ms> exit <code>" (ms: the steady clock).
// STANDIN_EXITS names a file of exit codes: each run takes the first; a code other than 0
// ends the run at once with it (after STANDIN_DELAY_MS milliseconds, when that is set). Exit
// codes of its own: 64 wrong arguments, 66 no image file,
// 69 port missing or held by another program, 74 the instrument did not take the image.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RecordClient.h"

namespace {

bool NumberAfter(const std::string& arg, const std::string& prefix, unsigned long& value) {
  if (arg.rfind(prefix, 0) != 0 || arg.size() == prefix.size()) return false;
  const std::string digits = arg.substr(prefix.size());
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  value = std::strtoul(digits.c_str(), nullptr, 10);
  return true;
}

// The next told exit code, or -1 when nothing was told.
int ToldExitCode() {
  const char* path = std::getenv("STANDIN_EXITS");
  if (!path || !*path) return -1;
  std::ifstream in(path);
  std::vector<int> codes;
  int c;
  while (in >> c) codes.push_back(c);
  if (codes.empty()) return -1;
  std::ofstream out(path, std::ios::trunc);
  for (std::size_t i = 1; i < codes.size(); ++i) out << codes[i] << '\n';
  return codes[0];
}

std::string Now() {
  using namespace std::chrono;
  return std::to_string(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int Finish(int code) {
  standin::LogTo("STANDIN_LOG", Now() + " exit " + std::to_string(code));
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string line = "run";
  for (const std::string& a : args) line += " " + a;
  standin::LogTo("STANDIN_LOG", Now() + " " + line);

  std::string file;
  unsigned long com = 0, baud = 0;
  if (args.size() == 5 && NumberAfter(args[1], "-com", com) && NumberAfter(args[2], "-baudrate", baud) &&
      args[3] == "-auto" && args[4] == "-exit" && (baud == 9600 || baud == 38400)) {
    file = args[0];
  } else if (args.size() == 4 && args[0].rfind("-f", 0) == 0 && args[0].size() > 2 && args[1].size() == 3 &&
             args[1].rfind("-c", 0) == 0 && args[2] == "-b7" && args[3] == "-a") {
    file = args[0].substr(2);
    com = static_cast<unsigned long>(args[1][2] - '0');
    baud = 115200;  // -b7: the seventh rate after 1200 ... 57600
  } else {
    std::fprintf(stderr, "stand-in loader: unexpected arguments:%s\n", line.c_str() + 3);
    return Finish(64);
  }
  if (com < 1 || com > 256) return Finish(64);

  const int told = ToldExitCode();
  if (const char* delay = std::getenv("STANDIN_DELAY_MS"))
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
  if (told > 0) return Finish(told);

  std::vector<std::string> records;
  if (!standin::ReadRecords(file, records) || records.empty()) {
    std::fprintf(stderr, "stand-in loader: cannot read %s\n", file.c_str());
    return Finish(66);
  }
  std::unique_ptr<platform::SerialDevice> port;
  switch (standin::OpenPort(static_cast<int>(com), static_cast<unsigned>(baud), port)) {
    case standin::OpenResult::Ok: break;
    case standin::OpenResult::Busy:
      std::fprintf(stderr, "stand-in loader: COM%lu is held by another program\n", com);
      standin::LogTo("STANDIN_LOG", Now() + " port busy");
      return Finish(69);
    case standin::OpenResult::Missing:
      std::fprintf(stderr, "stand-in loader: no COM%lu\n", com);
      return Finish(69);
  }
  std::string why;
  if (!standin::SendImage(*port, records, true, nullptr, &why)) {
    std::fprintf(stderr, "stand-in loader: %s\n", why.c_str());
    return Finish(74);
  }
  return Finish(0);
}
